// The autostart monitor: the values of the places through which programs
// start by themselves, compared each cycle with their baselines in
// "Hacking\NAME"; every removed, added or changed value goes out in one
// "hacking concerns" alert, and the new state becomes the baseline.
//
// "HackingExtended" adds the places intruders use most beyond those (the
// source's extended keys). Each starts silently: its first reading (the
// option switched on, or an upgrade that added the place) is its baseline.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "core/string_list.h"
#include "platform/autostart/autostart_source.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

// An entry of a baseline: its name and text apart, since a name may hold
// "=" (the list is keyed by the "name=text" line).
class TAutostartValue final : public TListRecord {
 public:
  explicit TAutostartValue(TAutostartEntry entry) : Entry(std::move(entry)) {}
  TAutostartEntry Entry;
};

class TReg final : public TListRecord {
 public:
  TAutostartKey Key;
  std::string Section;
  TStringList Baseline{true};  // "name=text" lines, each owning its TAutostartValue
  bool Known = true;           // a baseline was recorded (else the next reading is it)
  std::string CutShort;        // how the last reading was cut short ("": it was whole)
  bool FailureSaid = false;    // that the place cannot be read was reported
};

class THackingModule final : public TCycleModule {
 public:
  THackingModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                 TCycleState& cycle, TAutostartSource& source);

  void Initialize() override;
  void Run() override;

 private:
  void AddWatchedKey(const TAutostartKey& key, TStringList& keys);
  void CheckAutostartKeys();
  // Fills current; returns what kept the reading from being whole.
  TAutostartReading ReadTempReg(const TReg& reg, TStringList& current);
  void SaveBaseline(const TReg& reg);
  bool CompareOneReg(TReg& reg, TStringList& current, const std::string& cut_short, bool partial,
                     std::vector<std::string>& report);

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TCycleState& cycle_;
  TAutostartSource& source_;
  TStringList WatchedKeys_{false};
  TStringList ExtendedKeys_{false};
};

}  // namespace warderon
