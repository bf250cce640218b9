// The dispatcher with real outbox files, killed with SIGKILL at 50 random
// instants while alerts queue (a collector that is down half the rounds)
// and drain: every outbox loads, and in the end the lines delivered are
// exactly the alerts raised, in the order raised (duplicates allowed: a
// line taken and killed before its entry left is sent again).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "alerts/smtp_module.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_delivery.h"
#include "fakes/test_backends.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

// Appends each line it takes to a file, with one write: what the kernel
// has survives the process's kill. Down, up, or breaking in the middle of
// a round, at random.
class TFileCollector final : public TSyslogSender {
 public:
  explicit TFileCollector(const std::string& path)
      : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
  ~TFileCollector() override { close(fd_); }
  void SendSyslog(const TSyslogTarget&, int, int, const std::string& message,
                  const TSyslogAlert&) override {
    if (down || (breaks_after >= 0 && breaks_after-- == 0)) {
      throw std::runtime_error("connect: refused");
    }
    const std::string line = message + "\n";
    if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::runtime_error("write");
    }
  }
  bool down = false;
  int breaks_after = -1;  // goes down after this many more lines; -1: never

 private:
  int fd_;
};

// One life of the watchdog: loads the outboxes and raises alerts numbered
// from the count in raised.log, noting each before it is raised.
[[noreturn]] void Live(const std::string& folder, unsigned seed) {
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  store.WritePolicyBool("general", "SyslogEnabled", true);
  store.WritePolicyString("general", "Syslog", "loghost");
  TRecordingMail mail;
  TFileCollector collector(folder + "/delivered.log");
  TOutbox mail_outbox(folder + "/outbox-mail.dat");
  TOutbox syslog_outbox(folder + "/outbox-syslog.dat");
  TSmtpModule dispatcher(store, mail, collector, [] { return std::string("ws042"); });
  TFakeClock clock;
  TSmtpModule::TOutboxes outboxes;
  outboxes.mail = &mail_outbox;
  outboxes.syslog = &syslog_outbox;
  outboxes.local_now = [&] { return clock.LocalNow(); };
  dispatcher.SetOutboxes(std::move(outboxes));
  std::size_t next = 0;
  {
    std::ifstream raised(folder + "/raised.log");
    for (std::string line; std::getline(raised, line);) ++next;
  }
  const int noted = open((folder + "/raised.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::mt19937 random(seed);
  for (;;) {
    collector.down = random() % 3 == 0;
    collector.breaks_after = random() % 2 == 0 ? static_cast<int>(random() % 30) : -1;
    dispatcher.BeginDispatchRound();
    for (auto i = random() % 20; i > 0; --i, ++next) {
      const std::string line = "alert-" + std::to_string(next) + "\n";
      if (write(noted, line.data(), line.size()) < 0) _exit(3);
      dispatcher.SendAlertWithDetails(2, "file changes", "", {"alert-" + std::to_string(next)});
    }
    dispatcher.TakeDeliveryFailures();
  }
}

std::vector<std::string> LinesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

TEST(OutboxKill, FiftyKillsLoseNothingAndKeepTheOrder) {
  const std::string folder = ScratchPath("outbox-kills");
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::mt19937 random(20261209);
  std::vector<std::string> lost_in_flight;  // the alert each kill may have caught mid-dispatch
  for (int kill_number = 0; kill_number < 50; ++kill_number) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) Live(folder, static_cast<unsigned>(random()));
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 30000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "a life ended by itself: " << status;
    const auto raised = LinesOf(folder + "/raised.log");
    if (!raised.empty()) lost_in_flight.push_back(raised.back());
  }
  // The last start, with the collector up: every outbox loads and drains.
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  store.WritePolicyBool("general", "SyslogEnabled", true);
  store.WritePolicyString("general", "Syslog", "loghost");
  TRecordingMail mail;
  {
    TFileCollector collector(folder + "/delivered.log");
    TOutbox syslog_outbox(folder + "/outbox-syslog.dat");
    TSmtpModule dispatcher(store, mail, collector, [] { return std::string("ws042"); });
    TSmtpModule::TOutboxes outboxes;
    outboxes.syslog = &syslog_outbox;
    TFakeClock clock;
    outboxes.local_now = [&] { return clock.LocalNow(); };
    dispatcher.SetOutboxes(std::move(outboxes));
    dispatcher.BeginDispatchRound();
    EXPECT_TRUE(syslog_outbox.Entries().empty());
  }
  const auto raised = LinesOf(folder + "/raised.log");
  std::vector<std::string> first_seen;
  std::set<std::string> seen;
  for (const std::string& line : LinesOf(folder + "/delivered.log")) {
    if (seen.insert(line).second) first_seen.push_back(line);
  }
  ASSERT_GT(raised.size(), 200U) << "too few alerts raised for the kills to mean much";
  // Raised minus what a kill caught before its entry was written.
  const std::set<std::string> maybe_lost(lost_in_flight.begin(), lost_in_flight.end());
  std::vector<std::string> expected;
  for (const std::string& line : raised) {
    if (!maybe_lost.contains(line) || seen.contains(line)) expected.push_back(line);
  }
  EXPECT_EQ(first_seen, expected) << raised.size() << " raised, " << first_seen.size()
                                  << " delivered";
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace warderon::testing
