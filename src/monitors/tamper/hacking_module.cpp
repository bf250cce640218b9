#include "monitors/tamper/hacking_module.h"

namespace warderon {

THackingModule::THackingModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                               TCycleState& cycle, TAutostartSource& source)
    : store_(store), baselines_(baselines), alerts_(alerts), cycle_(cycle), source_(source) {}

void THackingModule::Initialize() {
  WatchedKeys_.Clear();
  for (const TAutostartKey& key : source_.WatchedKeys()) AddWatchedKey(key);
}

void THackingModule::AddWatchedKey(const TAutostartKey& key) {
  auto reg = std::make_unique<TReg>();
  reg->Key = key;
  reg->Section = "Hacking\\" + key.name;
  baselines_.LoadBaselineValues(reg->Section, reg->Baseline);
  WatchedKeys_.Add(key.name, std::move(reg));
}

void THackingModule::Run() {
  if (store_.ReadPolicyBool("general", "HackingEnabled", false)) CheckAutostartKeys();
}

void THackingModule::CheckAutostartKeys() {
  TStringList current{true};
  std::vector<std::string> report;
  int changed = 0;
  cycle_.ActivityText = "regs.count";
  for (std::size_t i = 0; i < WatchedKeys_.Count(); ++i) {
    TReg& reg = *WatchedKeys_.RecordAs<TReg>(i);
    cycle_.ActivityText = "regs." + std::to_string(i);
    cycle_.ActivityText = "readtempreg";
    ReadTempReg(reg, current);
    cycle_.ActivityText = "compareonereg";
    if (CompareOneReg(reg, current, report)) {
      ++changed;
      baselines_.SaveBaselineList(reg.Section, reg.Baseline);
    }
  }
  if (changed > 0) {
    report.insert(report.begin(), "Hacking Detection");
    alerts_.SendAlertWithDetails(kAlertFinding, "hacking concerns", "hacking concerns", report);
  }
  cycle_.ActivityText.clear();
}

void THackingModule::ReadTempReg(const TReg& reg, TStringList& current) {
  current.Assign(source_.ReadEntries(reg.Key));
}

bool THackingModule::CompareOneReg(TReg& reg, TStringList& current,
                                   std::vector<std::string>& report) {
  bool differs = false;
  for (std::size_t i = reg.Baseline.Count(); i-- > 0;) {
    if (current.Find(reg.Baseline.Text(i))) continue;
    if (!differs) report.push_back("  Registry Key: " + reg.Key.name);
    differs = true;
    report.push_back("  - removed: " + reg.Baseline.Text(i));
    reg.Baseline.Delete(i);
  }
  for (std::size_t i = current.Count(); i-- > 0;) {
    if (reg.Baseline.Find(current.Text(i))) continue;
    if (!differs) report.push_back("Registry Key: " + reg.Key.name);
    differs = true;
    report.push_back("  - added: " + current.Text(i));
    reg.Baseline.Add(current.Text(i));
  }
  if (differs) report.push_back("");
  return differs;
}

}  // namespace warderon
