#include "monitors/tamper/hacking_module.h"

#include <utility>

#include "core/text.h"

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
    const TAutostartReading reading = ReadTempReg(reg, current);
    // A part that cannot be read (no rights, a broken file) is said once;
    // what is known of the place stays, since an unreadable moment must not
    // read as entries removed and then added again, and what could be read
    // is still compared, so one bad file never blinds its place.
    if (reading.failure.empty()) {
      reg.FailureSaid = false;
    } else if (!std::exchange(reg.FailureSaid, true)) {
      alerts_.SendAlert(kAlertMonitorFailure, "hacking concerns",
                        VisibleLine("the place " + reg.Key.name + " could not be read (" +
                                    reading.failure + "); what is known of it is kept"));
    }
    const bool partial = !reading.cut_short.empty() || !reading.failure.empty();
    cycle_.ActivityText = "compareonereg";
    if (!reg.Known) {  // the first reading: the baseline, without a line
      std::vector<std::string> silent;
      CompareOneReg(reg, current, reading.cut_short, partial, silent);
      SaveBaseline(reg);
      reg.Known = true;
      continue;
    }
    if (CompareOneReg(reg, current, reading.cut_short, partial, report)) {
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

TAutostartReading THackingModule::ReadTempReg(const TReg& reg, TStringList& current) {
  current.Clear();
  TAutostartReading reading = source_.Read(reg.Key);
  for (TAutostartEntry& entry : reading.entries) AddEntry(current, std::move(entry));
  reading.entries.clear();
  return reading;
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

// A reading cut short says so in its place's header, once when it first
// is, and with every change after. A partial reading (cut short, or a part
// unreadable) tells nothing of what is gone, so nothing known is dropped.
bool THackingModule::CompareOneReg(TReg& reg, TStringList& current, const std::string& cut_short,
                                   bool partial, std::vector<std::string>& report) {
  const std::string note = cut_short.empty() ? "" : " (cut short: " + cut_short + ")";
  const bool newly_cut = !cut_short.empty() && reg.CutShort.empty();
  reg.CutShort = cut_short;
  bool differs = false;
  for (std::size_t i = reg.Baseline.Count(); !partial && i-- > 0;) {
    if (current.Find(reg.Baseline.Text(i))) continue;
    if (!differs) report.push_back("  Registry Key: " + reg.Key.name);
    differs = true;
    report.push_back("  - removed: " + reg.Baseline.Text(i));
    reg.Baseline.Delete(i);
  }
  for (std::size_t i = current.Count(); i-- > 0;) {
    if (reg.Baseline.Find(current.Text(i))) continue;
    if (!differs) report.push_back("Registry Key: " + reg.Key.name + note);
    differs = true;
    report.push_back("  - added: " + current.Text(i));
    AddEntry(reg.Baseline, current.RecordAs<TAutostartValue>(i)->Entry);
  }
  if (!differs && newly_cut) {
    report.push_back("Registry Key: " + reg.Key.name + note);
    differs = true;
  }
  if (differs) report.push_back("");
  return differs;
}

}  // namespace warderon
