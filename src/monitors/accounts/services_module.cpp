#include "monitors/accounts/services_module.h"

#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "core/text.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kServicesSection[] = "Services";
constexpr char kIgnoredSection[] = "Services-AutoIgnored";
constexpr char kConfigSection[] = "Services-Config";

class TChangeCount final : public TListRecord {
 public:
  explicit TChangeCount(std::int32_t value, std::string hand_text = {})
      : count(value), hand_entry(std::move(hand_text)) {}
  std::int32_t count;
  // The value of an administrator's entry that is not a number ("ignore"):
  // it silences the service for good and is saved back as it was.
  std::string hand_entry;
};

// A stored value read as a whole number, stored as text or as a number;
// nothing when it is neither.
std::optional<std::int32_t> StoredNumber(TPolicyStore& store, const std::string& section,
                                         const std::string& name) {
  switch (store.GetPolicyValueType(section, name)) {
    case TPolicyValueType::Integer:
      return store.ReadPolicyInteger(section, name, 0);
    case TPolicyValueType::Text:
    case TPolicyValueType::ExpandText: {
      const std::string text = store.ReadPolicyString(section, name, "");
      std::int32_t number = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (error == std::errc() && end == text.data() + text.size()) return number;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

TServicesModule::TServicesModule(TPolicyStore& store, TBaselineLists& baselines,
                                 TAlertSender& alerts, TServiceList& services,
                                 std::string own_service)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      services_(services),
      own_service_(std::move(own_service)) {}

void TServicesModule::Initialize() {
  KnownServices_.Clear();
  ServiceChanges_.clear();
  IgnoredServices_.Clear();
  ServiceChangeCounts_.Clear();
  CycleNumber_ = 0;
  StoredConfig_.clear();
  for (auto& entry : baselines_.LoadBaselinePairs(kConfigSection, true)) {
    StoredConfig_[entry.name] = entry.text.value_or("1");
  }

  TStringList known(true);
  baselines_.LoadBaselineList(kServicesSection, known);
  for (std::size_t i = 0; i < known.Count(); ++i) {
    auto data = std::make_unique<TServiceData>();
    data->Running = StoredNumber(store_, kServicesSection, known.Text(i)) == 1;
    KnownServices_.Add(known.Text(i), std::move(data));
  }

  // "Services-AutoIgnored" holds a change count for every service ever seen
  // (its first appearance counts). Only the flapping ones, and hand-made
  // entries whose value is not a number, are skipped from now on: skipping
  // every name there would blind the monitor to all known services after a
  // restart.
  TStringList ignored(true);
  baselines_.LoadBaselineList(kIgnoredSection, ignored);
  for (std::size_t i = 0; i < ignored.Count(); ++i) {
    const auto count = StoredNumber(store_, kIgnoredSection, ignored.Text(i));
    if (!count || *count > kFlappingCount) IgnoredServices_.Add(StripBlanks(ignored.Text(i)));
  }

  TStringList counted(true);
  baselines_.LoadBaselineList(kIgnoredSection, counted);
  for (std::size_t i = 0; i < counted.Count(); ++i) {
    const auto count = StoredNumber(store_, kIgnoredSection, counted.Text(i));
    std::string hand_text;
    if (!count) {
      hand_text = store_.ReadPolicyString(kIgnoredSection, counted.Text(i), "");
      if (hand_text.empty()) hand_text = "ignore";  // another type: still a hand entry
    }
    ServiceChangeCounts_.Add(StripBlanks(counted.Text(i)),
                             std::make_unique<TChangeCount>(count.value_or(0), hand_text));
  }
}

void TServicesModule::Run() {
  if (!store_.ReadPolicyBool(kGeneral, "ServicesEnabled", false)) return;
  AutoIgnore_ = store_.ReadPolicyBool(kGeneral, "ServicesAuto", true);
  ServiceChanges_.clear();
  ++CycleNumber_;

  ScanServices();
  const bool every_service = store_.ReadPolicyBool(kGeneral, "ServicesConfig", false);
  if (every_service || !own_service_.empty()) ScanConfigurations(every_service);

  for (std::size_t i = KnownServices_.Count(); i-- > 0;) {
    if (KnownServices_.RecordAs<TServiceData>(i)->LastSeenCycle == CycleNumber_) continue;
    const std::string key = KnownServices_.Text(i);
    if (!IgnoredServices_.Find(key) && !IsFlapping(key)) {
      ServiceChanges_.push_back("missing: " + key);
      CountChange(key);
    }
    KnownServices_.Delete(i);
  }

  if (ServiceChanges_.empty()) return;
  alerts_.SendAlertWithDetails(kAlertFinding, "service changes", "service changes",
                               ServiceChanges_);
  SaveServicesState();
}

void TServicesModule::ScanServices() {
  // The whole listing first: one that fails raises (a run-time error of the
  // cycle) before any service is marked, so a glitch of the service manager
  // never reads as every service missing, then new again.
  std::vector<TServiceEntry> services;
  services_.Enumerate([&services](const std::vector<TServiceEntry>& batch) {
    services.insert(services.end(), batch.begin(), batch.end());
  });
  for (const TServiceEntry& entry : services) ScanEntry(entry);
}

// Each watched service's configuration against what "Services-Config"
// holds: a field that changed is a line; a service, or a field, seen for
// the first time is recorded silently. A configuration that cannot be read
// keeps what is stored (and is said once): an unreadable moment must not
// forget, and then take in silently, a new binary.
void TServicesModule::ScanConfigurations(bool every_service) {
  bool truncated = false;
  std::vector<TServiceConfig> configs;
  try {
    if (every_service) {
      configs = services_.Configurations(kMaxConfigurations, truncated);
    } else if (auto own = services_.Configuration(own_service_)) {
      configs.push_back(std::move(*own));  // only the watchdog's own: one look
    }
    config_failure_said_ = false;
  } catch (const TServiceListError& error) {
    if (!std::exchange(config_failure_said_, true)) {
      alerts_.SendAlert(kAlertMonitorFailure, "service configurations",
                        VisibleLine(std::string("the service configurations could not be read: ") +
                                    error.what()));
    }
    return;
  }
  const std::map<std::string, std::string>& stored = StoredConfig_;
  // First the comparison alone (a quiet cycle builds nothing), then, only
  // when something differs, the table to keep.
  const auto watched = [&](const TServiceConfig& config) {
    return every_service || config.name == own_service_;
  };
  const auto stored_of = [&stored](const std::string& service) {
    const std::string prefix = service + "/";
    std::vector<std::pair<std::string, std::string>> entries;
    for (auto at = stored.lower_bound(prefix); at != stored.end() && at->first.starts_with(prefix);
         ++at) {
      entries.push_back(*at);
    }
    return entries;
  };
  std::vector<std::string> own_lines;
  std::size_t compared = 0;
  bool differs = false;
  std::set<std::string> listed;
  std::string name;
  for (const TServiceConfig& config : configs) {
    if (!watched(config)) continue;
    listed.insert(config.name);
    if (config.fields.empty()) {  // unreadable now: what is known stays
      compared += stored_of(config.name).size();
      continue;
    }
    const std::string key = StripBlanks(config.display_name);
    for (const auto& [field, value] : config.fields) {
      name.assign(config.name).append("/").append(field);
      const auto before = stored.find(name);
      if (before == stored.end()) {
        differs = true;  // seen for the first time: taken in silently
        continue;
      }
      ++compared;
      if (before->second == value) continue;
      differs = true;
      std::string line =
          "changed service " + key + ": " + field + " " + before->second + " -> " + value;
      if (config.name == own_service_) own_lines.push_back(line);
      ServiceChanges_.push_back(std::move(line));
    }
  }
  // Services not listed: gone (their configuration goes with them), unless
  // the listing was cut short; the watchdog's own is kept while only it is
  // watched.
  const auto kept = [&](const std::string& entry) {
    const std::string service = entry.substr(0, entry.rfind('/'));
    return !listed.contains(service) && (truncated || (!every_service && service == own_service_));
  };
  for (const auto& [entry, value] : stored) {
    if (kept(entry)) ++compared;
  }
  if (!own_lines.empty()) {
    alerts_.SendAlertWithDetails(kAlertIntegrity, "Warderon registration changed",
                                 "Warderon registration changed", own_lines);
  }
  if (!differs && compared == stored.size()) return;
  std::map<std::string, std::string> now;
  for (const TServiceConfig& config : configs) {
    if (!watched(config)) continue;
    if (config.fields.empty()) {
      for (auto& entry : stored_of(config.name)) now.insert(std::move(entry));
      continue;
    }
    for (const auto& [field, value] : config.fields) now[config.name + "/" + field] = value;
  }
  for (const auto& [entry, value] : stored) {
    if (kept(entry)) now.insert({entry, value});
  }
  std::vector<TBaselineLists::TNamedText> entries;
  for (const auto& [entry, value] : now) entries.push_back({entry, value});
  baselines_.SaveBaselinePairs(kConfigSection, std::move(entries), true);
  StoredConfig_ = std::move(now);
}

void TServicesModule::ScanEntry(const TServiceEntry& entry) {
  const std::string key = StripBlanks(entry.display_name);
  if (IgnoredServices_.Find(key)) return;
  if (AutoIgnore_ && IsFlapping(key)) {
    CountChange(key);
    return;
  }
  const bool now_running = entry.running;
  std::size_t index = 0;
  if (const auto known = KnownServices_.Find(key)) {
    index = *known;
    if (KnownServices_.RecordAs<TServiceData>(index)->Running != now_running) {
      if (!now_running) CountChange(key);
      ServiceChanges_.push_back("changed service " + key + " now " +
                                (now_running ? "running" : "stopped"));
    }
  } else {
    index = KnownServices_.Add(key, std::make_unique<TServiceData>());
    ServiceChanges_.push_back("new service " + key);
    CountChange(key);
  }
  auto* data = KnownServices_.RecordAs<TServiceData>(index);
  data->LastSeenCycle = CycleNumber_;
  data->Running = now_running;
}

void TServicesModule::SaveServicesState() {
  // Names and texts apart: a service's name may hold "=".
  std::vector<TBaselineLists::TNamedText> services;
  for (std::size_t i = 0; i < KnownServices_.Count(); ++i) {
    services.push_back(
        {KnownServices_.Text(i), KnownServices_.RecordAs<TServiceData>(i)->Running ? "1" : "0"});
  }
  baselines_.SaveBaselinePairs(kServicesSection, std::move(services), KnownServices_.Sorted());
  std::vector<TBaselineLists::TNamedText> counts;
  for (std::size_t i = 0; i < ServiceChangeCounts_.Count(); ++i) {
    const auto* record = ServiceChangeCounts_.RecordAs<TChangeCount>(i);
    counts.push_back({ServiceChangeCounts_.Text(i), record->hand_entry.empty()
                                                        ? std::to_string(record->count)
                                                        : record->hand_entry});
  }
  baselines_.SaveBaselinePairs(kIgnoredSection, std::move(counts), ServiceChangeCounts_.Sorted());
}

bool TServicesModule::IsFlapping(const std::string& name) const {
  const auto index = ServiceChangeCounts_.Find(name);
  return index && ServiceChangeCounts_.RecordAs<TChangeCount>(*index)->count > kFlappingCount;
}

void TServicesModule::CountChange(const std::string& name) {
  if (const auto index = ServiceChangeCounts_.Find(name)) {
    auto* record = ServiceChangeCounts_.RecordAs<TChangeCount>(*index);
    if (record->count < kMaxCount) ++record->count;  // a stored 2147483647 must not wrap
  } else {
    ServiceChangeCounts_.Add(name, std::make_unique<TChangeCount>(1));
  }
}

std::int32_t TServicesModule::ChangeCount(const std::string& key) const {
  const auto index = ServiceChangeCounts_.Find(key);
  return index ? ServiceChangeCounts_.RecordAs<TChangeCount>(*index)->count : 0;
}

}  // namespace warderon
