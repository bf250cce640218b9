// Store-and-forward delivery: the dispatcher with real outbox files and
// sinks that go down and come back, across a restart of the process.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "alerts/smtp_module.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_delivery.h"
#include "fakes/test_backends.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::int64_t kStartSeconds = 1796774400;

class OutboxDelivery : public ::testing::Test {
 protected:
  OutboxDelivery() {
    store_.WritePolicyString("general", "Email", "ops@site");
    store_.WritePolicyString("general", "EmailSMTPServer", "relay");
    store_.WritePolicyString("general", "Syslog", "loghost");
    store_.WritePolicyString("general", "SyslogFormat", "rfc5424");
    Restart();
  }
  ~OutboxDelivery() override {
    std::error_code ignored;
    fs::remove(mail_path_, ignored);
    fs::remove(syslog_path_, ignored);
  }
  // A new process: the outboxes are loaded from their files again.
  void Restart() {
    dispatcher_.reset();
    mail_outbox_.reset();  // closed before the new process opens them
    syslog_outbox_.reset();
    mail_outbox_ = std::make_unique<TOutbox>(mail_path_);
    syslog_outbox_ = std::make_unique<TOutbox>(syslog_path_);
    dispatcher_ =
        std::make_unique<TSmtpModule>(store_, mail_, syslog_, [] { return std::string("ws042"); });
    TSmtpModule::TOutboxes outboxes;
    outboxes.mail = mail_outbox_.get();
    outboxes.syslog = syslog_outbox_.get();
    outboxes.local_now = [this] { return clock_.LocalNow(); };
    outboxes.utc_now = [this] {
      return std::chrono::system_clock::from_time_t(kStartSeconds) + elapsed_;
    };
    outboxes.mail_date = [this] { return "date+" + std::to_string(elapsed_.count()); };
    dispatcher_->SetOutboxes(std::move(outboxes));
  }
  void Later(std::chrono::seconds by) {
    elapsed_ += by;
    clock_.Advance(by);
  }
  void Enable(bool mail, bool syslog) {
    store_.WritePolicyBool("general", "EmailEnabled", mail);
    store_.WritePolicyBool("general", "SyslogEnabled", syslog);
  }
  std::vector<std::string> SyslogLines() const {
    std::vector<std::string> lines;
    for (const auto& sent : syslog_.sent) lines.push_back(sent.message);
    return lines;
  }

  std::string mail_path_ = ScratchPath("outbox-mail");
  std::string syslog_path_ = ScratchPath("outbox-syslog");
  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingMail mail_;
  TRecordingSyslog syslog_;
  TFakeClock clock_;
  std::chrono::seconds elapsed_{0};
  std::unique_ptr<TOutbox> mail_outbox_;
  std::unique_ptr<TOutbox> syslog_outbox_;
  std::unique_ptr<TSmtpModule> dispatcher_;
};

TEST_F(OutboxDelivery, SyslogLinesRaisedWhileTheCollectorIsDownArriveInOrderAfterARestart) {
  Enable(false, true);
  syslog_.fail = true;
  dispatcher_->BeginDispatchRound();
  dispatcher_->SendAlertWithDetails(2, "file changes", "b", {"a", "b"});
  const std::string report = dispatcher_->TakeDeliveryFailures();
  EXPECT_NE(report.find("2 lines not sent yet"), std::string::npos) << report;
  EXPECT_NE(report.find("kept in the outbox, 2 waiting"), std::string::npos) << report;
  Later(60s);
  dispatcher_->BeginDispatchRound();  // the next cycle: still down
  dispatcher_->SendAlertWithDetails(2, "share changes", "b", {"c"});
  EXPECT_EQ(syslog_.attempts, 2) << "one try per round";
  Restart();  // killed and started again while the collector is down
  syslog_.fail = false;
  Later(60s);
  dispatcher_->BeginDispatchRound();  // the backlog goes first ...
  dispatcher_->SendAlertWithDetails(2, "service changes", "b", {"d"});  // ... then the new
  ASSERT_EQ(SyslogLines(), (std::vector<std::string>{"a", "b", "c", "d"}));
  const auto raised = [&](std::size_t i) {
    return std::chrono::system_clock::to_time_t(syslog_.sent[i].alert.raised_utc.value());
  };
  EXPECT_EQ(raised(0), kStartSeconds) << "the raise time, not the time of sending";
  EXPECT_EQ(raised(2), kStartSeconds + 60);
  EXPECT_EQ(raised(3), kStartSeconds + 120);
  EXPECT_EQ(syslog_.sent[0].alert.sequence_id, 1U);
  EXPECT_EQ(syslog_.sent[2].alert.sequence_id, 3U) << "the original sequence ids";
  EXPECT_EQ(syslog_.sent[2].alert.subject, "share changes");
  EXPECT_TRUE(TOutbox(syslog_path_).Entries().empty()) << "taken, so gone from the file";
}

// An acknowledging collector (RELP) that breaks after answering part: only
// the answered lines leave; the rest go again, first, with their ids.
TEST_F(OutboxDelivery, LinesTheCollectorDidNotAnswerAreSentAgainWithTheirIds) {
  Enable(false, true);
  syslog_.answers = 2;
  dispatcher_->BeginDispatchRound();
  dispatcher_->SendAlertWithDetails(2, "file changes", "b", {"a", "b", "c", "d"});
  EXPECT_NE(dispatcher_->TakeDeliveryFailures().find("2 lines not sent yet"), std::string::npos);
  EXPECT_EQ(TOutbox(syslog_path_).Entries().size(), 2U);
  Restart();
  syslog_.answers = 1;  // a backlog drain broken after one answer
  dispatcher_->BeginDispatchRound();
  dispatcher_->SendAlertWithDetails(2, "share changes", "b", {"e"});
  syslog_.answers.reset();
  dispatcher_->BeginDispatchRound();
  dispatcher_->SendAlertWithDetails(2, "service changes", "b", {"f"});
  std::vector<std::uint32_t> ids;
  for (const auto& sent : syslog_.sent) ids.push_back(sent.alert.sequence_id);
  EXPECT_EQ(SyslogLines(), (std::vector<std::string>{"a", "b", "c", "d", "c", "d", "d", "e", "f"}));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3, 4, 3, 4, 4, 1, 2}))
      << "a new process counts from 1";
  EXPECT_TRUE(TOutbox(syslog_path_).Entries().empty());
}

TEST_F(OutboxDelivery, AMailBacklogGoesLateWithItsDateAndIdAndPast20AsDigests) {
  Enable(true, false);
  mail_.fail = true;
  dispatcher_->SendAlert(2, "first", "body 1");
  dispatcher_->BeginDispatchRound();  // a retry that fails again
  ASSERT_EQ(mail_outbox_->Entries().size(), 1U);
  Restart();
  mail_.fail = false;
  dispatcher_->BeginDispatchRound();
  ASSERT_EQ(mail_.sent.size(), 1U);
  const TMailMessage& late = mail_.sent[0].message;
  EXPECT_EQ(late.subject, "ws042: first");
  EXPECT_EQ(late.date, "date+0");
  EXPECT_EQ(late.body_lines.at(1), "body 1");
  EXPECT_TRUE(late.body_lines.at(0).starts_with("raised at 2026-12-08 09:30:00 and delivered late"))
      << late.body_lines[0];
  EXPECT_FALSE(late.message_id.empty());

  mail_.sent.clear();
  mail_.fail = true;
  for (int i = 0; i < 25; ++i) {
    Later(1s);
    dispatcher_->SendAlertWithDetails(2, "alert " + std::to_string(i), "b", {"x"});
  }
  EXPECT_EQ(mail_.attempts, 4) << "one try per round, not one per alert";
  mail_.fail = false;
  dispatcher_->BeginDispatchRound();
  ASSERT_EQ(mail_.sent.size(), 1U) << "25 alerts in one digest, not 25 mails";
  const TMailMessage& digest = mail_.sent[0].message;
  EXPECT_EQ(digest.subject,
            "ws042: 25 delayed alerts, raised from 2026-12-08 09:30:01 to 2026-12-08 09:30:25");
  EXPECT_EQ(digest.body_lines.size(), 1U + 25 * 3);
  EXPECT_EQ(digest.body_lines[1], "raised at 2026-12-08 09:30:01: alert 0");
  EXPECT_EQ(digest.date, "date+1");
}

// A delivery in flight (a slow relay) holds the senders past the stop's
// bound: the stop alert is queued as that delivery ends, and goes at the
// next start with its raise time.
TEST_F(OutboxDelivery, AStopAlertTheSendersCouldNotWaitForGoesAtTheNextStart) {
  Enable(true, true);
  mail_.delay = 1500ms;
  std::thread worker([&] { dispatcher_->SendAlertWithDetails(2, "file changes", "b", {"x"}); });
  std::this_thread::sleep_for(100ms);
  const std::string held =
      dispatcher_->SendStopAlert(5, "Warderon stopping", "Warderon is stopping", 300ms);
  EXPECT_NE(held.find("waits in the outboxes"), std::string::npos) << held;
  worker.join();
  ASSERT_EQ(mail_.sent.size(), 1U);
  EXPECT_EQ(SyslogLines(), (std::vector<std::string>{"x"}));
  Restart();
  mail_.delay = 0ms;
  Later(60s);
  dispatcher_->BeginDispatchRound();
  ASSERT_EQ(mail_.sent.size(), 2U);
  EXPECT_EQ(mail_.sent[1].message.subject, "ws042: Warderon stopping");
  EXPECT_EQ(mail_.sent[1].message.date, "date+0") << "the time it was raised";
  ASSERT_EQ(SyslogLines(), (std::vector<std::string>{"x", "Warderon stopping"}));
  EXPECT_EQ(syslog_.sent[1].alert.level, 5);
}

TEST_F(OutboxDelivery, AFullOutboxKeepsTheNewestAndTheDroppedNoticeArrivesFirst) {
  Enable(false, true);
  store_.WritePolicyInteger("general", "OutboxMaxMB", 1);
  syslog_.fail = true;
  const std::vector<std::string> lines(20000, std::string(100, 'x'));
  dispatcher_->SendAlertWithDetails(2, "file changes", "b", lines);
  EXPECT_LE(fs::file_size(syslog_path_), 1U << 20) << "within the bound on disk";
  const std::uint64_t kept = syslog_outbox_->Entries().size();
  EXPECT_LT(kept, 20000U);
  Restart();
  syslog_.fail = false;
  Later(60s);
  dispatcher_->BeginDispatchRound();
  ASSERT_EQ(syslog_.sent.size(), kept + 1);
  EXPECT_EQ(syslog_.sent[0].message,
            std::to_string(20000 - kept) +
                " alerts dropped while syslog was unreachable (the first raised at 2026-12-09 "
                "00:00:00 UTC, the last at 2026-12-09 00:00:00 UTC; the outbox was full or they "
                "were too old)");
  EXPECT_EQ(syslog_.sent[1].alert.sequence_id, 20000 - kept + 1) << "the newest kept";
}

TEST_F(OutboxDelivery, ASwitchedOffSinkKeepsItsBacklogUntilItIsOnAgain) {
  Enable(false, true);
  syslog_.fail = true;
  dispatcher_->SendAlertWithDetails(2, "file changes", "b", {"a"});
  syslog_.fail = false;
  Enable(false, false);
  dispatcher_->BeginDispatchRound();
  EXPECT_TRUE(syslog_.sent.empty());
  store_.WritePolicyString("general", "Syslog", "newhost");  // re-pointed meanwhile
  Enable(false, true);
  dispatcher_->BeginDispatchRound();
  ASSERT_EQ(SyslogLines(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(syslog_.sent[0].host, "newhost");
}

}  // namespace
}  // namespace warderon::testing
