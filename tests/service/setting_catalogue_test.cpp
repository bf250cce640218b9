// The settings catalogue (and so the group-policy templates made from it)
// against what the program really reads: the whole process runs against a
// store that records every read, once with nothing set and once with every
// monitor switched on.
#include "policy/setting_catalogue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "core/text_case.h"
#include "fakes/fake_accounts.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_network.h"
#include "fakes/fake_resources.h"
#include "fakes/fake_tamper.h"
#include "fakes/recording_delivery.h"
#include "fakes/test_backends.h"
#include "platform/store/memory_policy_backend.h"
#include "policy/policy_store.h"
#include "service/warderon_process.h"

namespace warderon {
namespace {

using namespace testing;

struct TReads {
  std::set<std::string> general;                 // value names read in "general"
  std::map<std::string, TPolicyValue> defaults;  // what a read of an absent value wrote back
  std::set<std::string> sections;                // sections read
};

// Notes each value read, and the value written right after a read that
// found it absent: that is the default the reader gave.
class TRecordingBackend final : public TPolicyBackend {
 public:
  explicit TRecordingBackend(TReads& reads) : reads_(reads) {}
  std::string Describe() const override { return inner_.Describe(); }
  void CreateSection(const std::string& section) override { inner_.CreateSection(section); }
  std::optional<TPolicyValue> ReadValue(const std::string& section,
                                        const std::string& name) override {
    auto value = inner_.ReadValue(section, name);
    reads_.sections.insert(section);
    if (IsGeneral(section)) {
      reads_.general.insert(name);
      if (!value) absent_.insert(Folded(name));
    }
    return value;
  }
  void WriteValue(const std::string& section, const std::string& name,
                  const TPolicyValue& value) override {
    if (IsGeneral(section) && absent_.erase(Folded(name)) != 0)
      reads_.defaults.emplace(name, value);
    inner_.WriteValue(section, name, value);
  }
  bool DeleteValue(const std::string& section, const std::string& name) override {
    return inner_.DeleteValue(section, name);
  }
  void DeleteSection(const std::string& section) override { inner_.DeleteSection(section); }
  void RewriteSection(const std::string& section,
                      const std::vector<TPolicyNamedValue>& values) override {
    inner_.RewriteSection(section, values);
  }
  std::vector<TPolicyNamedValue> ReadSection(const std::string& section) override {
    reads_.sections.insert(section);
    return inner_.ReadSection(section);
  }
  std::vector<std::string> ListSections() override { return inner_.ListSections(); }
  void RunAtomically(const std::function<void()>& work) override { inner_.RunAtomically(work); }

 private:
  static bool IsGeneral(const std::string& section) {
    return CompareTextIgnoreCase(section, "general") == 0;
  }
  static std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
  }

  TReads& reads_;
  TMemoryPolicyBackend inner_;
  std::set<std::string> absent_;
};

class TUnreachableDirectory final : public TLdapClient {
 public:
  std::unique_ptr<TLdapSession> Open(const TDirectoryServer&) override {
    throw TDirectoryError("directory: cannot connect");
  }
};

TProcessParts FakeParts() {
  TProcessParts parts;
  parts.host_name = [] { return std::string("testhost"); };
  parts.clock = std::make_unique<TFakeClock>();
  parts.mail = std::make_unique<TRecordingMail>();
  parts.syslog = std::make_unique<TRecordingSyslog>();
  parts.directory_search = MakeSystemDirectorySearch();
  parts.service_list = std::make_unique<TFakeServiceList>();
  parts.local_groups = std::make_unique<TFakeLocalGroups>();
  parts.local_users = std::make_unique<TFakeLocalUsers>();
  auto volumes = std::make_unique<TFakeVolumes>();
  volumes->disks = {"C:"};
  volumes->SetPercent("C:", 50);
  parts.volumes = std::move(volumes);
  parts.memory_status = std::make_unique<TFakeMemoryStatus>();
  // A system process running an unsigned and one a signed executable: the
  // signature check then reads both of its lists.
  auto processes = std::make_unique<TFakeProcessInfo>();
  auto signatures = std::make_unique<TFakeSignatureVerifier>();
  for (const std::uint32_t pid : {100U, 101U}) {
    const std::string path = ScratchPath(std::to_string(pid) + ".exe");
    std::ofstream(path) << "image";
    TFakeProcess process;
    process.entry = {pid, std::to_string(pid) + ".exe"};
    process.path = path;
#ifdef _WIN32
    process.owner = TProcessOwner{"NT AUTHORITY", "SYSTEM"};
#else
    process.owner = TProcessOwner{"host", "root", 0U};
#endif
    processes->processes.push_back(process);
    if (pid == 101U) signatures->signatures[path] = {true, "Some Co"};
  }
  parts.process_info = std::move(processes);
  parts.command_runner = std::make_unique<TFakeCommandRunner>();
  auto tcp = std::make_unique<TFakeTcpTable>();
  tcp->rows = {TFakeTcpTable::Client(445, "10.0.0.9")};
  parts.tcp_table = std::move(tcp);
  parts.share_list = std::make_unique<TFakeShareList>();
  parts.autostart_source = std::make_unique<TFakeAutostartSource>();
  parts.process_services = std::make_unique<TFakeProcessServices>();
  parts.signature_verifier = std::move(signatures);
  parts.ldap_client = std::make_unique<TUnreachableDirectory>();
  parts.beeper = std::make_unique<TCountingBeeper>();
  return parts;
}

// Runs the program's start-up and two cycles with `preset` stored first.
TReads RunProgram(const std::map<std::string, TPolicyValue>& preset) {
  TReads reads;
  auto backend = std::make_unique<TRecordingBackend>(reads);
  for (const auto& [name, value] : preset) {
    backend->WriteValue("general", name, value);
  }
  {
    TWarderonProcess process(std::move(backend), ScratchPath("files.lst"), FakeParts());
    process.Worker().Execute(2);
  }
  return reads;
}

TPolicyValue ExpectedDefault(const TSettingInfo& setting) {
  switch (setting.kind) {
    case TSettingKind::Switch:
    case TSettingKind::Number:
      return TPolicyValue::MakeInteger(std::stoi(setting.default_text));
    case TSettingKind::Float:
      return TPolicyValue::MakeBinary(EncodePolicyFloat(std::stod(setting.default_text)));
    default:
      return TPolicyValue::MakeText(setting.default_text);
  }
}

bool IsProgramSection(const std::string& section) {
  for (const std::string& known : ProgramSections()) {
    const bool prefix = known.back() == '-' || known.back() == '\\';
    const std::string head = prefix ? section.substr(0, known.size()) : section;
    if (CompareTextIgnoreCase(head, known) == 0) return true;
  }
  return false;
}

bool IsAdministratorList(const std::string& section) {
  for (const TListInfo& list : AdministratorLists()) {
    if (CompareTextIgnoreCase(list.section, section) == 0) return true;
  }
  return false;
}

TEST(SettingCatalogue, HoldsEveryValueAndListTheProgramReadsWithItsTypeAndDefault) {
  const TPolicyValue on = TPolicyValue::MakeInteger(1);
  std::map<std::string, TPolicyValue> switched_on = {
      {"GeneralUpdate", on},
      {"ScriptRunNow", on},
      {"ScriptRunNow2", on},
      {"Syslog", TPolicyValue::MakeText("127.0.0.1")}};
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (setting.name.ends_with("Enabled")) switched_on.emplace(setting.name, on);
  }
  const TReads quiet = RunProgram({});
  const TReads busy = RunProgram(switched_on);

  std::set<std::string> read = quiet.general;
  read.insert(busy.general.begin(), busy.general.end());
  for (const std::string& name : read) {
    EXPECT_NE(FindGeneralSetting(name), nullptr) << "\"" << name << "\" is read but not listed";
  }
  std::map<std::string, TPolicyValue> defaults = quiet.defaults;
  defaults.insert(busy.defaults.begin(), busy.defaults.end());
  for (const auto& [name, value] : defaults) {
    const TSettingInfo* setting = FindGeneralSetting(name);
    if (setting == nullptr || setting->kind == TSettingKind::Internal) continue;
    EXPECT_EQ(value, ExpectedDefault(*setting)) << "\"" << name << "\" has another type or default";
  }
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (setting.kind == TSettingKind::Internal) continue;
    EXPECT_EQ(read.count(setting.name), 1u)
        << "\"" << setting.name << "\" is listed but never read";
  }

  std::set<std::string> sections = quiet.sections;
  sections.insert(busy.sections.begin(), busy.sections.end());
  for (const std::string& section : sections) {
    EXPECT_TRUE(IsProgramSection(section) || IsAdministratorList(section))
        << "section \"" << section << "\" is read but not listed";
  }
  for (const TListInfo& list : AdministratorLists()) {
    EXPECT_EQ(sections.count(list.section), 1u) << "list \"" << list.section << "\" is never read";
  }
}

TEST(SettingCatalogue, ChoicesStartWithTheDefaultAndNumbersHoldTheirDefault) {
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (setting.kind == TSettingKind::Number || setting.kind == TSettingKind::Switch) {
      const int value = std::stoi(setting.default_text);
      EXPECT_LE(setting.minimum, value) << setting.name;
      EXPECT_LE(value, setting.maximum) << setting.name;
    }
    if (setting.kind != TSettingKind::Internal) {
      EXPECT_FALSE(setting.title.empty()) << setting.name;
      EXPECT_FALSE(setting.explanation.empty()) << setting.name;
    }
  }
}

}  // namespace
}  // namespace warderon
