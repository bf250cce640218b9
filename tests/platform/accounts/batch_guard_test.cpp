#include "platform/accounts/batch_guard.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

TEST(BatchGuard, EndsOnBatchesThatMakeNoProgress) {
  TBatchGuard guard;
  EXPECT_TRUE(guard.Progress(3, "Alerter"));
  EXPECT_TRUE(guard.Progress(3, "Browser"));
  EXPECT_FALSE(guard.Progress(3, "Browser")) << "the same batch again";
  EXPECT_FALSE(TBatchGuard().Progress(0, "")) << "an empty batch";
  TBatchGuard bounded(2);
  EXPECT_TRUE(bounded.Progress(1, "a"));
  EXPECT_TRUE(bounded.Progress(1, "b"));
  EXPECT_FALSE(bounded.Progress(1, "c")) << "one batch too many";
}

}  // namespace
}  // namespace warderon
