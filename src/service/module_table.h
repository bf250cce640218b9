// The fixed row of monitor modules: the order of their start-up and the
// (different) order of their runs in each cycle, with the step labels that
// name them in error alerts.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/cycle_module.h"

namespace warderon {

struct TModuleRow {
  std::string startup_label;       // names the row in "startup error" alerts
  std::string cycle_label;         // names the row in "run time error" alerts
  int cycle_position = 0;          // place in the cycle order (1 = first)
  bool every_ad_interval = false;  // the directory group row: runs when its countdown is due
  // Creates the module at its start-up step when no object exists yet.
  std::function<std::unique_ptr<TCycleModule>()> create;
  // The object, when it was created at program start (or once created).
  std::unique_ptr<TCycleModule> module;
  // Set once Initialize() has returned; a row that start-up never reached
  // (or that failed there) is not run as if it had been.
  bool initialized = false;
};

class TModuleTable {
 public:
  // Rows are added in start-up order.
  void Add(TModuleRow row);
  std::vector<TModuleRow*> StartupOrder();
  // By cycle_position; rows of equal position keep their start-up order.
  std::vector<TModuleRow*> CycleOrder();
  std::size_t Size() const { return rows_.size(); }

 private:
  std::vector<std::unique_ptr<TModuleRow>> rows_;
};

}  // namespace warderon
