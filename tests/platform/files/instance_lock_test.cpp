// The lock that keeps a second watchdog off a state folder, on a real file:
// a second taker is refused and told who holds it, and the lock is free
// again once its holder lets go.
#include <gtest/gtest.h>

#include "fakes/test_backends.h"
#include "platform/files/instance_lock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace warderon::testing {
namespace {

TEST(InstanceLock, ASecondTakerIsRefusedUntilTheHolderLetsGo) {
  const std::string path = ScratchPath("warderon.lock");
#ifdef _WIN32
  const std::string pid = std::to_string(GetCurrentProcessId());
#else
  const std::string pid = std::to_string(getpid());
#endif
  auto held = LockInstance(path);
  try {
    LockInstance(path);
    ADD_FAILURE() << "a second lock was taken";
  } catch (const TInstanceLockError& error) {
    EXPECT_EQ(std::string(error.what()),
              "another watchdog (process " + pid + ") runs on this store; its lock is " + path);
  }
  held.reset();
  EXPECT_NO_THROW(held = LockInstance(path)) << "a lock let go of is free";
}

}  // namespace
}  // namespace warderon::testing
