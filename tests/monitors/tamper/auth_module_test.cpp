#include "monitors/tamper/auth_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_resources.h"
#include "fakes/fake_tamper.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using TLines = std::vector<std::string>;

// Programs by role. On Windows they must exist: only existing files are
// examined there.
std::string ServicePath(const std::string& role = "svchost") {
#ifdef _WIN32
  if (role == "svchost") return "C:\\Windows\\System32\\svchost.exe";
  if (role == "Tool") return "C:\\Windows\\System32\\notepad.exe";
  if (role == "User") return "C:\\Windows\\System32\\cmd.exe";
  return "C:\\Windows\\System32\\" + role + ".exe";
#else
  return "/opt/Vendor/" + role;
#endif
}

class AuthModule : public ::testing::Test {
 protected:
  AuthModule() {
    cycle_.NewInstall = true;
    SetLevel(1);
    // The executables exist (the platform checks for the file on Windows).
    AddProcess(100, ServicePath(), true);
    AddProcess(200, ServicePath("Tool"), true);
    AddProcess(300, ServicePath("User"), false);  // an ordinary user's: never examined
  }
  void SetLevel(int level) {
    backend_.WriteValue("general", "AuthenticodeEnabled", TPolicyValue::MakeInteger(level));
  }
  void List(const std::string& section, const std::string& entry) {
    backend_.WriteValue(section, entry, TPolicyValue::MakeInteger(1));
  }
  void AddProcess(std::uint32_t pid, const std::string& path, bool service_account) {
    TFakeProcess process;
    process.entry = {pid, path.substr(path.find_last_of("\\/") + 1)};
    process.path = path;
#ifdef _WIN32
    process.owner = service_account ? TProcessOwner{"NT AUTHORITY", "LOCAL SERVICE"}
                                    : TProcessOwner{"WS042", "jane"};
#else
    process.owner =
        TProcessOwner{"host", service_account ? "root" : "jane", service_account ? 0U : 60000U};
#endif
    processes_.processes.push_back(process);
  }
  TLines Cycle() {
    alerts_.alerts.clear();
    module_.Run();
    for (const auto& alert : alerts_.alerts) {
      if (alert.subject == "Authenticode warnings") {
        EXPECT_EQ(alert.body, "Warderon detected the following Authenticode warnings");
        return alert.details;
      }
    }
    return {};
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeProcessInfo processes_;
  TFakeProcessServices services_;
  TFakeSignatureVerifier verifier_;
  TAuthModule module_{store_, lists_, alerts_, processes_, services_, verifier_};
};

TEST_F(AuthModule, UnsignedAndUntrustedServiceProcessesAreReportedOnceWithTheirServices) {
  verifier_.signatures[ServicePath("Tool")] = {true, "Contoso Tools Ltd, O=Contoso"};
  services_.services[100] = {"DHCP Client", "DNS Client"};
  module_.Initialize();
  const std::string lowered = [] {
    std::string path = ServicePath();
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
  }();
  EXPECT_EQ(Cycle(), (TLines{"", "No Signature: ", lowered, "    DHCP Client", "    DNS Client", "",
                             "Signature from untrusted company: \"Contoso Tools Ltd, O=Contoso\"",
                             ServicePath("Tool")}));
  EXPECT_EQ(verifier_.verified.size(), 2U);  // the user's process is not examined
  // Known processes are not examined again.
  EXPECT_TRUE(Cycle().empty());
  EXPECT_EQ(verifier_.verified.size(), 2U);
}

TEST_F(AuthModule, AProgramReplacedUnderItsProcessIsUnsignedWhateverNowSitsAtItsPath) {
  // A trojan run from a packaged program's place, then the package's file
  // put back: the file at the path is trusted, the running one is not.
  const std::string replaced = ServicePath("Swapped") + " (deleted)";
  AddProcess(400, replaced, true);
  verifier_.signatures[ServicePath()] = {true, "Debian"};
  verifier_.signatures[ServicePath("Tool")] = {true, "Debian"};
  verifier_.signatures[ServicePath("Swapped")] = {true, "Debian"};
  verifier_.signatures[replaced] = {true, "Debian"};
  List("Authenticode", "debian");
  module_.Initialize();
  std::string lowered = replaced;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Cycle(), (TLines{"", "No Signature: ", lowered}));
}

TEST_F(AuthModule, TrustedFragmentsAndExceptionsWithOtherCaseAndBlanks) {
  verifier_.signatures[ServicePath("Tool")] = {true, "Contoso Tools Ltd"};
  List("Authenticode", "TOOLS L");  // a fragment, any case
  std::string exception = ServicePath();
  char& first = exception[exception.find_last_of("\\/") + 1];
  first = static_cast<char>(std::toupper(static_cast<unsigned char>(first)));  // other case
  List("AuthenticodeExceptions", "  " + exception + "\t");
  module_.Initialize();
  EXPECT_TRUE(Cycle().empty());
}

TEST_F(AuthModule, AnExceptionDoesNotExemptAnUntrustedSigner) {
  verifier_.signatures[ServicePath("Tool")] = {true, "Contoso Tools Ltd"};
  List("AuthenticodeExceptions", ServicePath("Tool"));
  processes_.processes.erase(processes_.processes.begin());  // only the signed one
  module_.Initialize();
  EXPECT_EQ(Cycle(), (TLines{"", "Signature from untrusted company: \"Contoso Tools Ltd\"",
                             ServicePath("Tool")}));
}

TEST_F(AuthModule, ARestartedProcessIsExaminedAgain) {
  module_.Initialize();
  EXPECT_FALSE(Cycle().empty());
  processes_.processes[0].entry.pid = 101;  // the same program under a new process id
  const TLines again = Cycle();
  ASSERT_EQ(again.size(), 3U);
  EXPECT_EQ(again[1], "No Signature: ");
  // A process that ended is forgotten: its number, given again to the same
  // program later, is a new process.
  const TFakeProcess ended = processes_.processes[0];
  processes_.processes.erase(processes_.processes.begin());
  EXPECT_TRUE(Cycle().empty());
  processes_.processes.push_back(ended);
  EXPECT_EQ(Cycle().size(), 3U);
}

TEST_F(AuthModule, AFailureHalfWaySendsWhatWasFoundAndExaminesTheRestNextTime) {
  verifier_.failing = ServicePath("Tool");
  module_.Initialize();
  alerts_.alerts.clear();
  EXPECT_ANY_THROW(module_.Run());
  ASSERT_EQ(alerts_.alerts.size(), 1U) << "the finding before the failure is sent";
  EXPECT_EQ(alerts_.alerts[0].details.size(), 3U);
  verifier_.failing.clear();
  const TLines next = Cycle();
  ASSERT_EQ(next.size(), 3U) << "the failed process is examined again";
  EXPECT_EQ(next[1], "No Signature: ");
  EXPECT_EQ(verifier_.verified.back(), ServicePath("Tool"));
}

TEST_F(AuthModule, LoweringTheLevelIsReportedOnceAndStopsTheCheck) {
  module_.Initialize();
  Cycle();
  SetLevel(0);
  alerts_.alerts.clear();
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "lowered security level of signatures");
  EXPECT_EQ(alerts_.alerts[0].body,
            "The configuration value to determine if signatures will be checked has been "
            "lowered on this computer.  This could be evidence of an attack.");
  alerts_.alerts.clear();
  module_.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  // Raised again: silent, and the check resumes (the processes that ran
  // meanwhile are known: they were last seen before).
  SetLevel(1);
  processes_.processes[0].entry.pid = 102;
  EXPECT_FALSE(Cycle().empty());
  for (const auto& alert : alerts_.alerts) {
    EXPECT_NE(alert.subject, "lowered security level of signatures");
  }
}

TEST_F(AuthModule, ALevelLoweredBeforeTheFirstCycleCountsToo) {
  module_.Initialize();
  SetLevel(0);
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "lowered security level of signatures");
}

TEST_F(AuthModule, WithoutVerificationTheCheckSaysSoOnceAndTheModuleGoesOn) {
  verifier_.unavailable = "the trust library wintrust.dll has no function WinVerifyTrust";
  module_.Initialize();
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "signature check could not start");
  EXPECT_EQ(alerts_.alerts[0].body, verifier_.unavailable);
  alerts_.alerts.clear();
  module_.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(verifier_.verified.empty());
}

TEST_F(AuthModule, PathsAndOwnersThatCannotBeCheckedAreSkipped) {
  processes_.processes.clear();
  AddProcess(0, ServicePath(), true);    // process 0 has no image
  AddProcess(400, "svchost.exe", true);  // a bare name
  AddProcess(500, ServicePath("Gone"), true);
  processes_.processes.back().owner.reset();  // no owner to be read
  module_.Initialize();
  EXPECT_TRUE(Cycle().empty());
  EXPECT_TRUE(verifier_.verified.empty());
  EXPECT_EQ(module_.GetProcessImagePath(0), "???:0");
}

}  // namespace
}  // namespace warderon::testing
