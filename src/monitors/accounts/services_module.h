// The services monitor: reports services that appear, disappear, start or
// stop, one alert per run, and ignores services that change too often.
// What it knows survives restarts in the sections "Services" and
// "Services-AutoIgnored".
//
// With "ServicesConfig" each service's configuration (binary path, account,
// start type, ...; Linux: the unit's commands, user, enabled state) is
// watched too, kept by the service's own name in "Services-Config"; a
// flapping or ignored service keeps it watched. The watchdog's own service
// is watched so whenever the monitor runs, and a change of it is raised at
// once as "Warderon registration changed".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/string_list.h"
#include "platform/accounts/service_list.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

class TServiceData final : public TListRecord {
 public:
  std::int32_t LastSeenCycle = 0;  // CycleNumber of the run that last saw it; 0 when loaded
  bool Running = false;
};

class TServicesModule final : public TCycleModule {
 public:
  // A service whose change count is above this is flapping.
  static constexpr std::int32_t kFlappingCount = 5;
  static constexpr std::int32_t kMaxCount = 999;

  // At most this many services' configurations are read a cycle.
  static constexpr std::size_t kMaxConfigurations = 10000;

  // own_service: the watchdog's own service name ("" for none).
  TServicesModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                  TServiceList& services, std::string own_service = "");

  void Initialize() override;
  void Run() override;

  // For tests: the known services, the change counts.
  const TStringList& KnownServices() const { return KnownServices_; }
  std::int32_t ChangeCount(const std::string& key) const;

 private:
  void ScanServices();
  void ScanConfigurations(bool every_service);
  void ScanEntry(const TServiceEntry& entry);
  void SaveServicesState();
  bool IsFlapping(const std::string& name) const;
  void CountChange(const std::string& name);

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TServiceList& services_;
  std::string own_service_;
  bool config_failure_said_ = false;
  // "Services-Config" as last loaded or saved: "NAME/FIELD" to its value.
  std::map<std::string, std::string> StoredConfig_;

  TStringList KnownServices_{true};
  std::vector<std::string> ServiceChanges_;
  TStringList IgnoredServices_{true};
  TStringList ServiceChangeCounts_{true};
  bool AutoIgnore_ = true;
  std::int32_t CycleNumber_ = 0;
};

}  // namespace warderon
