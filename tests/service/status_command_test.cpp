#include "service/status_command.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "fakes/fake_clock.h"
#include "platform/store/memory_policy_backend.h"
#include "policy/policy_store.h"
#include "service/command_line.h"
#include "service/policy_command.h"

namespace warderon::testing {
namespace {

TEST(StatusCommand, ShowsVersionLastRunSwitchesAndTheLastJournalInOrder) {
  TMemoryPolicyBackend backend;
  backend.WriteValue("general", "version", TPolicyValue::MakeInteger(0x00010300));
  const TDateTime last_run = ToDateTime({2026, 12, 8, 9, 30, 0, 0});
  backend.WriteValue("general", "LastRun",
                     TPolicyValue::MakeBinary(EncodePolicyFloat(last_run.days)));
  backend.WriteValue("general", "FilesEnabled", TPolicyValue::MakeInteger(1));
  backend.WriteValue("general", "ServicesEnabled", TPolicyValue::MakeInteger(0));
  backend.WriteValue("general", "AuthenticodeEnabled", TPolicyValue::MakeInteger(2));
  backend.WriteValue("LocGroups", "Administrators", TPolicyValue::MakeInteger(1));
  for (const auto& [number, text] : {std::pair{"10", "tenth"}, {"2", "second"}, {"1", "first"}}) {
    backend.WriteValue("Logs", number, TPolicyValue::MakeText(text));
  }
  TFakeClock clock(ToDateTime({2026, 12, 8, 9, 45, 0, 0}));
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunStatusCommand(backend, clock, out, err), 0);
  EXPECT_EQ(out.str(), "store: " + backend.Describe() +
                           "\n"
                           "data version: 0001.0300\n"
                           "last run: 2026-12-08 09:30:00 local time, 15 minutes ago\n"
                           "enabled: files, signatures, local groups (1)\n"
                           "journal of the last cycle:\n"
                           "  first\n"
                           "  second\n"
                           "  tenth\n");
}

TEST(StatusCommand, ShowsEachOutboxAsTheLastCycleLeftIt) {
  TMemoryPolicyBackend backend;
  for (const auto& [name, figure] : {std::pair{"OutboxMailEntries", 0},
                                     {"OutboxMailOldestSeconds", 0},
                                     {"OutboxMailDroppedTotal", 0},
                                     {"OutboxSyslogEntries", 3},
                                     {"OutboxSyslogOldestSeconds", 200},
                                     {"OutboxSyslogDroppedTotal", 7}}) {
    backend.WriteValue("Health", name, TPolicyValue::MakeInteger(figure));
  }
  TFakeClock clock;
  std::ostringstream text;
  std::ostringstream json;
  std::ostringstream err;
  ASSERT_EQ(RunStatusCommand(backend, clock, text, err), 0);
  ASSERT_EQ(RunStatusCommand(backend, clock, json, err, true), 0);
  EXPECT_NE(text.str().find("outbox mail: 0 waiting, 0 dropped\n"
                            "outbox syslog: 3 waiting, the oldest raised 200 s before the last "
                            "cycle ended, 7 dropped\n"),
            std::string::npos)
      << text.str();
  EXPECT_NE(json.str().find(",\"outboxes\":{\"mail\":{\"entries\":0,\"oldest_seconds\":0,"
                            "\"dropped_total\":0},\"syslog\":{\"entries\":3,\"oldest_seconds\":"
                            "200,\"dropped_total\":7}}}"),
            std::string::npos)
      << json.str();
}

TEST(StatusCommand, ANewStoreSaysSo) {
  TMemoryPolicyBackend backend;
  TFakeClock clock;
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunStatusCommand(backend, clock, out, err), 0);
  EXPECT_NE(out.str().find("data version: none (never started)\nlast run: never\n"
                           "enabled: nothing\njournal of the last cycle: empty\n"),
            std::string::npos)
      << out.str();
}

// What reaches the terminal from the store: never a raw escape sequence
// (a file or member name in the journal), never a date from a broken time.
TEST(StatusCommand, ControlCharactersShowVisiblyAndAnInvalidTimeIsSaidSo) {
  TMemoryPolicyBackend backend;
  backend.WriteValue("general", "LastRun",
                     TPolicyValue::MakeBinary(EncodePolicyFloat(std::nan(""))));
  backend.WriteValue("Logs", "1", TPolicyValue::MakeText("new file \x1b]0;owned\x07"));
  backend.WriteValue("Services", "svc\x1b[2J", TPolicyValue::MakeText("a\x1b[2Jb"));
  TFakeClock clock;
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunStatusCommand(backend, clock, out, err), 0);
  ASSERT_EQ(RunPolicyCommand(backend, {"list", "Services"}, std::nullopt, out, err), 0);
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("last run: the stored time is not valid"), std::string::npos);
  EXPECT_NE(out.str().find("new file \u241b]0;owned\u2407"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("svc\u241b[2J\tstring\ta\u241b[2Jb"), std::string::npos);
}

TEST(StatusCommand, HelpVersionAndStatusOnTheCommandLine) {
  for (const char* help : {"-help", "--help", "/?", "/HELP"}) {
    EXPECT_EQ(ParseCommandLine({help}).command, TCommand::Help) << help;
  }
  EXPECT_EQ(ParseCommandLine({"-version"}).command, TCommand::Version);
  const TCommandLine status = ParseCommandLine({"-status", "-store", "/tmp/w.sqlite"});
  EXPECT_EQ(status.command, TCommand::Status);
  EXPECT_EQ(status.store_path, "/tmp/w.sqlite");
  EXPECT_NE(UsageText().find("-status"), std::string::npos);
}

}  // namespace
}  // namespace warderon::testing
