// The objects one watchdog process is made of, composed in one place and
// handed to each part by reference. Both the foreground runner and the
// Windows service host build on it.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "alerts/smtp_module.h"
#include "core/cycle_state.h"
#include "platform/files/instance_lock.h"
#include "platform/store/policy_backend.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"
#include "service/health_report.h"
#include "service/module_table.h"
#include "service/process_parts.h"
#include "service/warderon_thread.h"

namespace warderon {

class TWarderonProcess {
 public:
  TWarderonProcess(std::unique_ptr<TPolicyBackend> backend, std::string catalogue_path,
                   TProcessParts parts = MakeSystemProcessParts());

  // The lock that keeps a second watchdog off the state folder of this
  // catalogue (its outboxes and catalogue), the folder made first if need
  // be. Taken before a process is built; raises TInstanceLockError.
  static std::unique_ptr<TInstanceLock> LockStateFolder(const std::string& catalogue_path);

  TSmtpModule& Alerts() { return alerts_; }
  TWarderonThread& Worker() { return worker_; }

  // How long the stop alert may take: it is journalled at once, and its mail
  // waits at most this long for a dispatch in flight and the server. With
  // the foreground runner's 2 s for the worker, a stop ends within 12 s.
  static constexpr std::chrono::milliseconds kStopAlertBound{10000};

  // The stop event: raises "Warderon stopping" once (bounded, see above),
  // then sets the worker's termination flag without waiting for it. Any
  // thread; later calls do nothing.
  void Stop();

 private:
  void AddMonitorRows();

  std::unique_ptr<TPolicyBackend> backend_;
  TPolicyStore store_;
  TProcessParts parts_;
  // Beside the file catalogue: never in the policy key, which group policy
  // rewrites.
  std::unique_ptr<TOutbox> mail_outbox_;
  std::unique_ptr<TOutbox> syslog_outbox_;
  TSmtpModule alerts_;
  TCycleState cycle_;
  TBaselineLists baselines_;
  std::string catalogue_path_;
  TModuleTable modules_;
  TWarderonThread worker_;
  class TMonitorModule* files_ = nullptr;  // owned by modules_
  THealthReport health_;
  std::once_flag stopped_;
};

}  // namespace warderon
