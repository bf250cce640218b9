#include "alerts/smtp_module.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/faulty_backend.h"
#include "fakes/recording_delivery.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

std::vector<std::string> Lines(const std::string& prefix, int count) {
  std::vector<std::string> lines;
  for (int i = 1; i <= count; ++i) lines.push_back(prefix + std::to_string(i));
  return lines;
}

class SmtpModule : public ::testing::Test {
 protected:
  void Enable(bool email, bool syslog) {
    store_.WritePolicyBool("general", "EmailEnabled", email);
    store_.WritePolicyBool("general", "SyslogEnabled", syslog);
    store_.WritePolicyString("general", "Email", "ops@site.example; audit@site.example,");
    store_.WritePolicyString("general", "EmailSMTPServer", "relay.site.example");
    store_.WritePolicyString("general", "Syslog", "loghost");
  }
  // The journal's texts in number order, with their numbers.
  std::vector<std::string> Journal() {
    std::vector<std::string> entries;
    for (const auto& value : backend_.ReadSection("Logs")) {
      entries.push_back(value.name + ":" + value.value.text);
    }
    return entries;
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingMail mail_;
  TRecordingSyslog syslog_;
  std::string host_name_ = "ws042";
  TSmtpModule dispatcher_{store_, mail_, syslog_, [this] { return host_name_; }};
};

TEST_F(SmtpModule, WithoutMailOrSyslogTheJournalGetsTheSubjectThenTheLines) {
  dispatcher_.SendAlertWithDetails(2, "service changes", "body", {"l1", "l2", "l3"});
  EXPECT_EQ(Journal(), (std::vector<std::string>{"1:service changes", "2:l1", "3:l2", "4:l3"}));
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(syslog_.sent.empty());
  // The switches were written back with their defaults.
  EXPECT_EQ(backend_.ReadValue("general", "EmailEnabled"), TPolicyValue::MakeInteger(0));
}

TEST_F(SmtpModule, ComposesTheMailAndJournalsItsLinesFirst) {
  Enable(true, false);
  dispatcher_.SendAlertWithDetails(2, "service changes", "service changes", {"l1", "l2", "l3"});
  ASSERT_EQ(mail_.sent.size(), 1U);
  const auto& [server, message, deadline, settings] = mail_.sent[0];
  EXPECT_EQ(server, "relay.site.example");
  EXPECT_EQ(message.from, "warderon@ws042");
  EXPECT_EQ(message.sender, "warderon@ws042");
  EXPECT_EQ(message.to, (std::vector<std::string>{"ops@site.example", "audit@site.example"}));
  EXPECT_EQ(message.subject, "ws042: service changes");
  EXPECT_EQ(message.body_lines, (std::vector<std::string>{"service changes", "l1", "l2", "l3"}));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"1:l1", "2:l2", "3:l3", "4:service changes",
                                                 "5:l1", "6:l2", "7:l3"}));
}

TEST_F(SmtpModule, MailBodyStopsAt5001DetailLinesWhileSyslogSendsAll) {
  Enable(true, true);
  dispatcher_.SendAlertWithDetails(2, "file changes", "b", Lines("f", 5001));
  EXPECT_EQ(mail_.sent.back().message.body_lines.size(), 5002U);
  EXPECT_EQ(mail_.sent.back().message.body_lines.back(), "f5001");

  dispatcher_.SendAlertWithDetails(2, "file changes", "b", Lines("g", 5002));
  const auto& body = mail_.sent.back().message.body_lines;
  ASSERT_EQ(body.size(), 5003U);
  EXPECT_EQ(body[5001], "g5001");
  EXPECT_EQ(body[5002], "... additional items deleted");
  EXPECT_EQ(syslog_.sent.size(), 5001U + 5002U);
  // Mail part (5001 + truncation line), subject, then all 5002 lines.
  EXPECT_EQ(backend_.ReadSection("Logs").size(), (5001U + 1 + 5001) + (5001U + 1 + 1 + 5002));
}

TEST_F(SmtpModule, SyslogSendsOneWarningPerDetailLineWithTheFacilityRule) {
  Enable(false, true);
  const std::vector<std::pair<std::int32_t, int>> facilities = {{0, 0},   {16, 16}, {23, 23},
                                                                {24, 23}, {-1, 23}, {65536 + 5, 5}};
  for (const auto& [stored, expected] : facilities) {
    store_.WritePolicyInteger("general", "SyslogFacility", stored);
    syslog_.sent.clear();
    dispatcher_.SendAlertWithDetails(2, "s", "b", {"only line"});
    ASSERT_EQ(syslog_.sent.size(), 1U);
    EXPECT_EQ(syslog_.sent[0].facility, expected) << "stored " << stored;
    EXPECT_EQ(syslog_.sent[0].severity, 4);
    EXPECT_EQ(syslog_.sent[0].host, "loghost");
    EXPECT_EQ(syslog_.sent[0].message, "only line");
  }
}

TEST_F(SmtpModule, NoDatagramWithoutDetailsOrWithoutHost) {
  Enable(false, true);
  dispatcher_.SendAlert(2, "subject", "body");
  dispatcher_.SendAlertWithDetails(2, "subject", "body", {});
  store_.WritePolicyString("general", "Syslog", "");
  dispatcher_.SendAlertWithDetails(2, "subject", "body", {"line"});
  EXPECT_TRUE(syslog_.sent.empty());
}

TEST_F(SmtpModule, AnEmptyDetailListBehavesLikeNone) {
  Enable(true, false);
  dispatcher_.SendAlertWithDetails(2, "subject", "body", {});
  dispatcher_.SendAlert(2, "subject", "body");
  ASSERT_EQ(mail_.sent.size(), 2U);
  EXPECT_EQ(mail_.sent[0].message.body_lines, mail_.sent[1].message.body_lines);
  EXPECT_EQ(mail_.sent[0].message.body_lines, (std::vector<std::string>{"body"}));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"1:subject", "2:subject"}));
}

TEST_F(SmtpModule, IntegrityAlertsAreDroppedWithoutTraceOnlyWhileSuppressed) {
  dispatcher_.SuppressIntegrityAlerts();
  dispatcher_.SendAlert(3, "checksum failed for x", "b");
  EXPECT_TRUE(Journal().empty());
  dispatcher_.SendAlert(2, "finding", "b");
  dispatcher_.SendAlertWithDetails(3, "details are never suppressed", "b", {"l"});
  dispatcher_.ResumeIntegrityAlerts();
  dispatcher_.SendAlert(3, "missing checksum for y", "b");
  EXPECT_EQ(Journal(), (std::vector<std::string>{"1:finding", "2:details are never suppressed",
                                                 "3:l", "4:missing checksum for y"}));
}

TEST_F(SmtpModule, JournalNumbersGoOnAfterTheSectionIsDeleted) {
  for (int i = 0; i < 5; ++i) dispatcher_.SendAlert(2, "a" + std::to_string(i), "b");
  store_.DeletePolicySection("Logs");
  dispatcher_.SendAlert(2, "next", "b");
  dispatcher_.SendAlert(2, "after", "b");
  EXPECT_EQ(Journal(), (std::vector<std::string>{"6:next", "7:after"}));
}

TEST_F(SmtpModule, MailFailuresAreSwallowedAndAMissingHostNameIsRetried) {
  Enable(true, false);
  host_name_ = "";
  mail_.fail = true;
  EXPECT_NO_THROW(dispatcher_.SendAlert(2, "first", "b"));
  dispatcher_.BeginDispatchRound();  // a new cycle
  mail_.fail = false;
  dispatcher_.SendAlert(2, "second", "b");
  EXPECT_EQ(mail_.sent.back().message.from, "warderon@");
  EXPECT_EQ(mail_.sent.back().message.subject, ": second");
  host_name_ = "ws042";
  dispatcher_.SendAlert(2, "third", "b");
  EXPECT_EQ(mail_.sent.back().message.subject, "ws042: third");
  EXPECT_EQ(Journal(), (std::vector<std::string>{"1:first", "2:second", "3:third"}));
}

TEST_F(SmtpModule, ASyslogFailureNeverReachesTheCallerAndIsKeptForTheCycleReport) {
  Enable(true, true);
  syslog_.fail = true;
  EXPECT_NO_THROW(
      dispatcher_.SendAlertWithDetails(2, "share changes", "b", {"new share x", "new share y"}));
  EXPECT_NO_THROW(dispatcher_.SendAlertWithDetails(2, "service changes", "b", {"new service z"}));
  EXPECT_EQ(mail_.sent.size(), 2U) << "the other sink still works";
  EXPECT_EQ(Journal(),
            (std::vector<std::string>{"1:new share x", "2:new share y", "3:share changes",
                                      "4:new share x", "5:new share y", "6:new service z",
                                      "7:service changes", "8:new service z"}));
  const std::string report = dispatcher_.TakeDeliveryFailures();
  EXPECT_EQ(report,
            "syslog: 3 lines not sent: resolve loghost: unknown host (1 of them not tried after "
            "that; the next cycle tries again)");
  EXPECT_EQ(dispatcher_.TakeDeliveryFailures(), "") << "reported once";
}

TEST_F(SmtpModule, AFailedSinkIsTriedOncePerCycleAndTheJournalKeepsEveryAlert) {
  Enable(true, true);
  mail_.fail = true;
  syslog_.fail = true;
  for (int i = 0; i < 50; ++i) dispatcher_.SendAlertWithDetails(2, "s", "b", {"x", "y"});
  EXPECT_EQ(mail_.attempts, 1) << "a stalling server costs one time-out per cycle";
  EXPECT_EQ(syslog_.attempts, 1);
  EXPECT_EQ(Journal().size(), 50U * 5) << "each alert whole, the mailed lines each time";
  EXPECT_EQ(dispatcher_.TakeDeliveryFailures(),
            "syslog: 100 lines not sent: resolve loghost: unknown host (98 of them not tried "
            "after that; the next cycle tries again)\r\n"
            "mail: 50 alerts not sent: connect to relay.site.example: refused (49 of them not "
            "tried after that; the next cycle tries again)");
  dispatcher_.SendAlert(1, "run time error", "the report of it");
  EXPECT_EQ(mail_.attempts, 1) << "the report costs the dead server no second time-out";
  dispatcher_.TakeDeliveryFailures();
  mail_.fail = false;
  syslog_.fail = false;
  dispatcher_.BeginDispatchRound();  // the next cycle
  dispatcher_.SendAlertWithDetails(2, "s", "b", {"x"});
  EXPECT_EQ(mail_.sent.size(), 1U);
  EXPECT_EQ(syslog_.sent.size(), 1U);
  EXPECT_EQ(dispatcher_.TakeDeliveryFailures(), "");
}

TEST_F(SmtpModule, EachDispatchRoundTriesTheSinksAfreshAndTheReportKeepsWhatEarlierOnesLost) {
  Enable(true, true);
  mail_.fail = true;
  syslog_.fail = true;
  dispatcher_.SendAlert(1, "Warderon starting", "b");  // start-up, relay still down
  mail_.fail = false;
  syslog_.fail = false;
  dispatcher_.BeginDispatchRound();  // cycle 1: the relay is up by now
  dispatcher_.SendAlertWithDetails(2, "file changes", "b", {" ERASED : /etc/x"});
  ASSERT_EQ(mail_.sent.size(), 1U) << "start-up's failure must not cancel cycle 1's mail";
  EXPECT_EQ(mail_.sent[0].message.subject, "ws042: file changes");
  EXPECT_EQ(syslog_.sent.size(), 1U);
  EXPECT_EQ(dispatcher_.TakeDeliveryFailures(),
            "mail: 1 alerts not sent: connect to relay.site.example: refused");
}

TEST_F(SmtpModule, TheStopAlertGoesToEverySinkAndOutlivesTheJournalsEmptying) {
  using namespace std::chrono_literals;
  Enable(true, true);
  store_.WritePolicyString("general", "SyslogFormat", "rfc3164");
  mail_.fail = true;
  dispatcher_.SendAlert(2, "earlier", "b");  // the cycle's failure is not the stop's
  mail_.fail = false;
  EXPECT_EQ(dispatcher_.SendStopAlert(5, "Warderon stopping", "Warderon is stopping", 2000ms), "");
  ASSERT_EQ(mail_.sent.size(), 1U);
  ASSERT_EQ(syslog_.sent.size(), 2U);
  EXPECT_EQ(syslog_.sent[1].message, "Warderon stopping");
  EXPECT_EQ(dispatcher_.Counts().alerts.at({"", 5}), 1U);
  dispatcher_.ClearJournal();  // a cycle that was starting as the stop came
  EXPECT_EQ(Journal().back(), "2:Warderon stopping");

  syslog_.fail = true;
  EXPECT_EQ(dispatcher_.SendStopAlert(5, "Warderon stopping", "Warderon is stopping", 2000ms),
            "syslog: resolve loghost: unknown host");
}

TEST_F(SmtpModule, TheMailServerSettingsReachTheTransport) {
  Enable(true, false);
  backend_.WriteValue("general", "EmailPort", TPolicyValue::MakeInteger(587));
  backend_.WriteValue("general", "EmailSecurity", TPolicyValue::MakeText("starttls-required"));
  backend_.WriteValue("general", "EmailUser", TPolicyValue::MakeText("alerts@site"));
  backend_.WriteValue("general", "EmailPassword", TPolicyValue::MakeText("s3cret"));
  backend_.WriteValue("general", "EmailCAFile", TPolicyValue::MakeText("/etc/site-ca.pem"));
  dispatcher_.SendAlert(2, "first", "b");
  ASSERT_EQ(mail_.sent.size(), 1U);
  const TMailServer& server = mail_.sent[0].settings;
  EXPECT_EQ(server.port, 587);
  EXPECT_EQ(server.security, TMailSecurity::StartTlsRequired);
  EXPECT_EQ(server.user, "alerts@site");
  EXPECT_EQ(server.password, "s3cret");
  EXPECT_EQ(server.ca_file, "/etc/site-ca.pem");
}

TEST_F(SmtpModule, ChoicesIgnoreLetterCaseAndAnUnknownSecurityChoiceSendsNothing) {
  Enable(true, true);
  struct TCase {
    const char* security;
    const char* transport;
    const char* form;
    bool sent;
  };
  const TCase cases[] = {
      {"TLS", "TCP", "RFC5424", true},  {"StartTLS-Required", "Udp", "rfc3164", true},
      {"tlss", "udp", "bsd", false},     // mail refused, syslog goes
      {"none", "TLS1.3", "bsd", false},  // syslog refused, mail goes
      {"none", "udp", "json", true},     // an unknown form is only a form: bsd
  };
  for (const TCase& test : cases) {
    backend_.WriteValue("general", "EmailSecurity", TPolicyValue::MakeText(test.security));
    backend_.WriteValue("general", "SyslogTransport", TPolicyValue::MakeText(test.transport));
    backend_.WriteValue("general", "SyslogFormat", TPolicyValue::MakeText(test.form));
    mail_.sent.clear();
    syslog_.sent.clear();
    dispatcher_.BeginDispatchRound();
    dispatcher_.SendAlertWithDetails(2, "s", "b", {"x"});
    const std::string failures = dispatcher_.TakeDeliveryFailures();
    EXPECT_EQ(failures.empty(), test.sent) << test.security << " " << test.transport << failures;
    const bool mail_known = std::string(test.security) != "tlss";
    const bool syslog_known = std::string(test.transport) != "TLS1.3";
    EXPECT_EQ(mail_.sent.size(), mail_known ? 1U : 0U) << test.security;
    EXPECT_EQ(syslog_.sent.size(), syslog_known ? 1U : 0U) << test.transport;
    if (std::string(test.security) == "TLS") {
      EXPECT_EQ(mail_.sent.at(0).settings.security, TMailSecurity::Tls);
    }
  }
  EXPECT_EQ(mail_.sent.size() + syslog_.sent.size(), 2U);
  EXPECT_EQ(syslog_.sent[0].target.form, TSyslogForm::Bsd);
  const auto reports = store_.TakeSettingReports();
  ASSERT_EQ(reports.size(), 3U) << "each unknown text once";
  EXPECT_EQ(reports[0].subject, "setting with an unknown choice");
  EXPECT_EQ(reports[0].text,
            "value \"EmailSecurity\" of section \"general\" is \"tlss\", which is none of none, "
            "starttls, starttls-required, tls; no mail is sent until it is one of them");
  dispatcher_.SendAlert(2, "again", "b");
  EXPECT_TRUE(store_.TakeSettingReports().empty());
}

TEST_F(SmtpModule, AJournalThatCannotCommitNeverStopsTheMail) {
  Enable(true, false);
  TFaultyBackend faulty(backend_);
  TPolicyStore faulty_store(faulty);
  TSmtpModule dispatcher(faulty_store, mail_, syslog_, [] { return std::string("ws042"); });
  faulty.fail_commit = true;
  dispatcher.SendAlertWithDetails(2, "service changes", "b", {"new service x"});
  ASSERT_EQ(mail_.sent.size(), 1U);
  EXPECT_EQ(mail_.sent[0].message.body_lines, (std::vector<std::string>{"b", "new service x"}));
}

TEST_F(SmtpModule, ControlCharactersFromTheMachineNeverReachTheSinksRaw) {
  Enable(true, true);
  dispatcher_.SendAlertWithDetails(2, "file changes", "b", {" NEW FILE : /tmp/0\nx\r\x1b[2J\tend"});
  const std::string visible = " NEW FILE : /tmp/0\xE2\x90\x8Ax\xE2\x90\x8D\xE2\x90\x9B[2J\tend";
  EXPECT_EQ(mail_.sent.back().message.body_lines.back(), visible);
  EXPECT_EQ(syslog_.sent.back().message, visible);
  EXPECT_EQ(Journal().back(), "3:" + visible);
}

TEST_F(SmtpModule, TheStopAlertIsJournalledAtOnceAndNeverWaitsPastItsBound) {
  using namespace std::chrono_literals;
  Enable(true, false);
  mail_.delay = 1500ms;  // the worker's alert is with a slow server
  std::thread worker([&] { dispatcher_.SendAlertWithDetails(2, "file changes", "b", {"x"}); });
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  dispatcher_.SendStopAlert(5, "Warderon stopping", "Warderon is stopping", 300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  const auto journal = Journal();
  EXPECT_NE(std::find(journal.begin(), journal.end(), "2:Warderon stopping"), journal.end())
      << "on record before the mail in flight ended";
  worker.join();
  ASSERT_EQ(mail_.sent.size(), 1U) << "no time was left for the stop mail";

  // With the sinks free, the stop mail goes out, bounded by what is left.
  mail_.delay = 0ms;
  const auto before = std::chrono::steady_clock::now();
  dispatcher_.SendStopAlert(5, "Warderon stopping", "Warderon is stopping", 2000ms);
  ASSERT_EQ(mail_.sent.size(), 2U);
  EXPECT_EQ(mail_.sent[1].message.subject, "ws042: Warderon stopping");
  EXPECT_LE(mail_.sent[1].deadline, before + 2100ms);
}

TEST_F(SmtpModule, ConcurrentDispatchesNeverInterleave) {
  auto raise = [&](const std::string& name) {
    for (int i = 0; i < 50; ++i)
      dispatcher_.SendAlertWithDetails(2, name, "b", {name + "-a", name + "-b"});
  };
  std::thread worker(raise, "worker");
  std::thread control(raise, "control");
  worker.join();
  control.join();
  const auto journal = backend_.ReadSection("Logs");
  ASSERT_EQ(journal.size(), 300U);
  for (std::size_t i = 0; i < journal.size(); i += 3) {
    const std::string& subject = journal[i].value.text;
    EXPECT_EQ(journal[i + 1].value.text, subject + "-a");
    EXPECT_EQ(journal[i + 2].value.text, subject + "-b");
  }
}

}  // namespace
}  // namespace warderon::testing
