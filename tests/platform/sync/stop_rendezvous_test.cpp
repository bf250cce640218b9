#include "platform/sync/stop_rendezvous.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace warderon::testing {
namespace {

using namespace std::chrono_literals;

TEST(StopRendezvous, AClosingHandlerWaitsForTheStopButNotPastItsBound) {
  TStopRendezvous rendezvous;
  std::atomic<bool> in_time{false};
  std::atomic<long long> waited_ms{0};
  ASSERT_TRUE(rendezvous.Enter());
  std::thread handler([&] {
    const auto start = std::chrono::steady_clock::now();
    in_time = rendezvous.WaitDone(5s);
    waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    rendezvous.Leave();
  });
  std::this_thread::sleep_for(100ms);
  rendezvous.MarkDone();
  rendezvous.Close();  // returns only once the handler has left
  EXPECT_TRUE(in_time.load());
  handler.join();
  EXPECT_LT(waited_ms.load(), 2000) << "the handler went on as soon as the stop was done";
  EXPECT_FALSE(rendezvous.Enter()) << "closed: no handler comes in any more";

  TStopRendezvous never_done;
  ASSERT_TRUE(never_done.Enter());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(never_done.WaitDone(200ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  never_done.Leave();
}

TEST(StopRendezvous, TheOwnerWaitsForAHandlerStillInside) {
  TStopRendezvous rendezvous;
  ASSERT_TRUE(rendezvous.Enter());
  std::atomic<bool> left{false};
  std::thread handler([&] {
    std::this_thread::sleep_for(300ms);
    left = true;
    rendezvous.Leave();
  });
  rendezvous.Close();
  EXPECT_TRUE(left.load()) << "Close returned while a handler was inside";
  handler.join();
}

}  // namespace
}  // namespace warderon::testing
