#include "monitors/resources/memory_monitor.h"

#include <algorithm>

#include "monitors/resources/process_dump.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";

}  // namespace

TMemoryMonitor::TMemoryMonitor(TPolicyStore& store, TAlertSender& alerts, TCycleState& cycle,
                               TMemoryStatus& memory, TProcessInfo& processes)
    : store_(store), alerts_(alerts), cycle_(cycle), memory_(memory), processes_(processes) {}

void TMemoryMonitor::Initialize() { GlobalWarningActive_ = false; }

void TMemoryMonitor::Run() {
  if (store_.ReadPolicyBool(kGeneral, "MemGlobalEnabled", false)) GlobalCheck();
  if (store_.ReadPolicyBool(kGeneral, "MemLocalEnabled", false)) LocalCheck();
}

void TMemoryMonitor::GlobalCheck() {
  cycle_.ActivityText = "GlobalDoIt GlobalMemoryStatus";
  // A failed reading keeps the last one, as a quiet machine would.
  last_load_ = memory_.MemoryLoad().value_or(last_load_);
  store_.WritePolicyInteger(kGeneral, "MemGlobalNow", last_load_);
  last_warn_ = store_.ReadPolicyInteger(kGeneral, "MemGlobalWarn", 0);
  if (GlobalWarningActive_) {
    if (last_load_ < last_warn_) GlobalAlert(false);
  } else if (last_load_ >= last_warn_) {
    GlobalAlert(true);
  }
  cycle_.ActivityText.clear();
}

void TMemoryMonitor::GlobalAlert(bool warning) {
  cycle_.ActivityText = "mem.SendWarning";
  GlobalWarningActive_ = warning;
  const std::string subject = warning ? "global memory warning" : "global memory recoverred";
  const std::string relation = warning ? ">=" : "<";
  cycle_.ActivityText = "DumpProcesses";
  const std::vector<std::string> dump = BuildProcessDump(processes_);
  cycle_.ActivityText = "mem.SendWarning";
  alerts_.SendAlertWithDetails(kAlertFinding, subject,
                               "global memory is now " + std::to_string(last_load_) + " which is " +
                                   relation + " " + std::to_string(last_warn_),
                               dump);
}

void TMemoryMonitor::LocalCheck() {
  cycle_.ActivityText = "localdoit";
  const auto now =
      static_cast<std::int32_t>(std::min<std::uint64_t>(memory_.OwnHeapBytes() / 1024, INT32_MAX));
  store_.WritePolicyInteger(kGeneral, "MemLocalNow", now);
  const std::int32_t warn = store_.ReadPolicyInteger(kGeneral, "MemLocalWarn", 0);
  const std::string values = std::to_string(now) + " which is ";
  if (LocalWarningActive_) {
    if (now < warn) {
      LocalWarningActive_ = false;
      alerts_.SendAlert(kAlertFinding, "local memory recoverred",
                        "local memory is now " + values + "< " + std::to_string(warn));
    }
  } else if (now >= warn) {
    LocalWarningActive_ = true;
    alerts_.SendAlert(kAlertFinding, "local memory warning",
                      "local memory is now " + values + ">= " + std::to_string(warn));
  }
  cycle_.ActivityText.clear();
}

}  // namespace warderon
