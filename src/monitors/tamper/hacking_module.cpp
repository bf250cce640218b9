#include "monitors/tamper/hacking_module.h"

namespace warderon {
namespace {

// The name a value is stored under. The section's unnamed value is its
// seal, so a place's own unnamed (default) value is stored as "=", and a
// name of "=" signs alone gets one more; stored names of earlier releases
// never held "=", so they read as they always did.
std::string StoredName(const std::string& name) {
  return name.find_first_not_of('=') == std::string::npos ? name + "=" : name;
}
std::string EntryName(const std::string& stored) {
  return !stored.empty() && stored.find_first_not_of('=') == std::string::npos ? stored.substr(1)
                                                                               : stored;
}

void AddEntry(TStringList& list, TAutostartEntry entry) {
  std::string line = entry.Line();
  list.Add(std::move(line), std::make_unique<TAutostartValue>(std::move(entry)));
}

}  // namespace

THackingModule::THackingModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                               TCycleState& cycle, TAutostartSource& source)
    : store_(store), baselines_(baselines), alerts_(alerts), cycle_(cycle), source_(source) {}

void THackingModule::Initialize() {
  WatchedKeys_.Clear();
  ExtendedKeys_.Clear();
  for (const TAutostartKey& key : source_.WatchedKeys()) AddWatchedKey(key, WatchedKeys_);
  for (const TAutostartKey& key : source_.ExtendedKeys()) AddWatchedKey(key, ExtendedKeys_);
}

void THackingModule::AddWatchedKey(const TAutostartKey& key, TStringList& keys) {
  auto reg = std::make_unique<TReg>();
  reg->Key = key;
  reg->Section = "Hacking\\" + key.name;
  // A place of its own section ever saved has its seal there.
  reg->Known = !key.extended || !store_.Backend().ReadSection(reg->Section).empty();
  for (auto& stored : baselines_.LoadBaselinePairs(reg->Section, true)) {
    AddEntry(reg->Baseline, {EntryName(stored.name), stored.text.value_or("")});
  }
  keys.Add(key.name, std::move(reg));
}

void THackingModule::Run() {
  if (store_.ReadPolicyBool("general", "HackingEnabled", false)) CheckAutostartKeys();
}

void THackingModule::CheckAutostartKeys() {
  TStringList current{true};
  std::vector<std::string> report;
  int changed = 0;
  cycle_.ActivityText = "regs.count";
  const bool extended = store_.ReadPolicyBool("general", "HackingExtended", false);
  const std::size_t count = WatchedKeys_.Count() + (extended ? ExtendedKeys_.Count() : 0);
  for (std::size_t i = 0; i < count; ++i) {
    TReg& reg = i < WatchedKeys_.Count() ? *WatchedKeys_.RecordAs<TReg>(i)
                                         : *ExtendedKeys_.RecordAs<TReg>(i - WatchedKeys_.Count());
    cycle_.ActivityText = "regs." + std::to_string(i);
    cycle_.ActivityText = "readtempreg";
    ReadTempReg(reg, current);
    cycle_.ActivityText = "compareonereg";
    if (!reg.Known) {  // the first reading: the baseline, without a line
      std::vector<std::string> silent;
      CompareOneReg(reg, current, silent);
      SaveBaseline(reg);
      reg.Known = true;
      continue;
    }
    if (CompareOneReg(reg, current, report)) {
      ++changed;
      SaveBaseline(reg);
    }
  }
  if (changed > 0) {
    report.insert(report.begin(), "Hacking Detection");
    alerts_.SendAlertWithDetails(kAlertFinding, "hacking concerns", "hacking concerns", report);
  }
  cycle_.ActivityText.clear();
}

void THackingModule::ReadTempReg(const TReg& reg, TStringList& current) {
  current.Clear();
  for (TAutostartEntry& entry : source_.ReadEntries(reg.Key)) AddEntry(current, std::move(entry));
}

void THackingModule::SaveBaseline(const TReg& reg) {
  std::vector<TBaselineLists::TNamedText> entries;
  entries.reserve(reg.Baseline.Count());
  for (std::size_t i = 0; i < reg.Baseline.Count(); ++i) {
    const TAutostartEntry& entry = reg.Baseline.RecordAs<TAutostartValue>(i)->Entry;
    entries.push_back({StoredName(entry.name), entry.text});
  }
  baselines_.SaveBaselinePairs(reg.Section, std::move(entries), true);
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
    AddEntry(reg.Baseline, current.RecordAs<TAutostartValue>(i)->Entry);
  }
  if (differs) report.push_back("");
  return differs;
}

}  // namespace warderon
