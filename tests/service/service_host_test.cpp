#include "service/service_host.h"

#include <gtest/gtest.h>

#include "fakes/test_backends.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon {
namespace {

using testing::ScratchPath;

class ServiceHost : public ::testing::Test {
 protected:
  std::vector<std::string> Journal() {
    std::vector<std::string> texts;
    for (const auto& value : backend_->ReadSection("Logs")) texts.push_back(value.value.text);
    return texts;
  }
  std::vector<TServiceState> Serve() {
    std::vector<TServiceState> states;
    host_.Serve([&](TServiceState state) { states.push_back(state); });
    return states;
  }

  TMemoryPolicyBackend* backend_ = new TMemoryPolicyBackend;
  TWarderonProcess process_{std::unique_ptr<TPolicyBackend>(backend_), ScratchPath("files.lst")};
  TServiceHost host_{process_};
};

TEST_F(ServiceHost, StopDuringTheSleepAlertsAndEndsTheWorkerAtOnce) {
  host_.Start();
  while (!backend_->ReadValue("general", "LastRun")) std::this_thread::yield();
  host_.Post(TServiceControl::Pause);
  host_.Post(TServiceControl::Continue);
  host_.Post(TServiceControl::Stop);
  EXPECT_EQ(Serve(),
            (std::vector<TServiceState>{TServiceState::Paused, TServiceState::Running,
                                        TServiceState::StopPending, TServiceState::Stopped}));
  EXPECT_TRUE(host_.JoinWorker(std::chrono::seconds(5)));  // the minute's sleep was cut short
  EXPECT_EQ(Journal(), (std::vector<std::string>{"Warderon stopping"}));
}

TEST_F(ServiceHost, AWorkerThatReachesItsCycleLimitCountsAsAStop) {
  host_.Start(1);
  EXPECT_EQ(Serve(),
            (std::vector<TServiceState>{TServiceState::StopPending, TServiceState::Stopped}));
  EXPECT_TRUE(host_.JoinWorker(std::chrono::seconds(5)));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"Warderon stopping"}));
}

TEST_F(ServiceHost, StopWhilePausedLeavesTheWorkerHeld) {
  process_.Worker().Pause();  // held at its first safe point, after the start alert
  host_.Start();
  while (!process_.Worker().HeldByPause()) std::this_thread::yield();
  host_.Post(TServiceControl::Stop);
  Serve();
  EXPECT_FALSE(host_.JoinWorker(std::chrono::milliseconds(100)));
  EXPECT_TRUE(process_.Worker().HeldByPause());
  EXPECT_EQ(Journal(),
            (std::vector<std::string>{"Warderon starting NEW INSTALL", "Warderon stopping"}));
  process_.Worker().Continue();  // let it end before the fixture goes
  EXPECT_TRUE(host_.JoinWorker(std::chrono::seconds(5)));
}

}  // namespace
}  // namespace warderon
