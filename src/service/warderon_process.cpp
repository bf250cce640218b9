#include "service/warderon_process.h"

#include "monitors/accounts/locgrp_module.h"
#include "monitors/accounts/services_module.h"
#include "monitors/accounts/users_module.h"
#include "monitors/directory/ad_module.h"
#include "monitors/files/monitor_module.h"
#include "monitors/network/net_enum.h"
#include "monitors/network/tcp_module.h"
#include "monitors/resources/disks_module.h"
#include "monitors/resources/memory_monitor.h"
#include "monitors/resources/script_runner.h"
#include "monitors/tamper/auth_module.h"
#include "monitors/tamper/hacking_module.h"
#include "platform/files/atomic_file.h"
#include "platform/time/mail_date.h"
#include "service/service_registration.h"

namespace warderon {
namespace {

// A file in the catalogue's folder.
std::string BesideCatalogue(const std::string& catalogue_path, const char* name) {
  const auto slash = catalogue_path.find_last_of("/\\");
  if (slash == std::string::npos) return name;
  return catalogue_path.substr(0, slash + 1) + name;
}

// One row of the module table: labels from the start-up and cycle tables,
// the place in the cycle, and the object when it is created at program start.
TModuleRow Row(std::string startup_label, std::string cycle_label, int cycle_position,
               std::unique_ptr<TCycleModule> module) {
  TModuleRow row;
  row.startup_label = std::move(startup_label);
  row.cycle_label = std::move(cycle_label);
  row.cycle_position = cycle_position;
  row.module = std::move(module);
  return row;
}

}  // namespace

void TWarderonProcess::AddMonitorRows() {
  // In start-up order. Each monitor adds its row here as it is built; the
  // cycle itself never changes for that.
  auto files = std::make_unique<TMonitorModule>(
      store_, baselines_, alerts_, *parts_.directory_search, catalogue_path_, NativePathRules(),
      TChangeFollowing{parts_.change_journal.get(), &cycle_, parts_.console_note});
  files_ = files.get();
  modules_.Add(Row("monitor", "file monitorring", 1, std::move(files)));
  TModuleRow directory =
      Row("ad", "AD monitorring", 5,
          std::make_unique<TAdModule>(store_, baselines_, alerts_, cycle_, *parts_.ldap_client,
                                      parts_.local_domain_suffix));
  directory.every_ad_interval = true;
  modules_.Add(std::move(directory));
  modules_.Add(Row("services", "service monitorring", 3,
                   std::make_unique<TServicesModule>(store_, baselines_, alerts_,
                                                     *parts_.service_list, OwnServiceName())));
  modules_.Add(Row("locgroup", "local group monitorring", 2,
                   std::make_unique<TLocGrpModule>(baselines_, alerts_, *parts_.local_groups)));
  modules_.Add(
      Row("localusers", "local user monitorring", 2,
          std::make_unique<TLocalUsersModule>(store_, baselines_, alerts_, *parts_.local_users)));
  modules_.Add(Row("tcp", "tcp monitorring", 4,
                   std::make_unique<TTTCPModule>(store_, baselines_, alerts_, cycle_,
                                                 *parts_.tcp_table, *parts_.process_info)));
  // The script runner and the memory monitor are made at their start-up step.
  TModuleRow script = Row("script", "running script", 6, nullptr);
  script.create = [this] {
    return std::make_unique<TScriptRunner>(store_, alerts_, *parts_.clock, *parts_.command_runner);
  };
  modules_.Add(std::move(script));
  TModuleRow memory = Row("mem", "running memory", 7, nullptr);
  memory.create = [this] {
    return std::make_unique<TMemoryMonitor>(store_, alerts_, cycle_, *parts_.memory_status,
                                            *parts_.process_info);
  };
  modules_.Add(std::move(memory));
  modules_.Add(Row("disks", "disks running", 8,
                   std::make_unique<TDisksModule>(store_, alerts_, cycle_, *parts_.volumes)));
  modules_.Add(Row("netenum", "share enumeration", 9,
                   std::make_unique<TNetEnum>(store_, baselines_, alerts_, *parts_.share_list)));
  modules_.Add(Row("hacking", "hacking tests", 10,
                   std::make_unique<THackingModule>(store_, baselines_, alerts_, cycle_,
                                                    *parts_.autostart_source)));
  modules_.Add(
      Row("authenticode", "auth tests", 11,
          std::make_unique<TAuthModule>(store_, baselines_, alerts_, *parts_.process_info,
                                        *parts_.process_services, *parts_.signature_verifier)));
}

std::unique_ptr<TInstanceLock> TWarderonProcess::LockStateFolder(
    const std::string& catalogue_path) {
  const std::string lock_path = BesideCatalogue(catalogue_path, "warderon.lock");
  const auto slash = lock_path.find_last_of("/\\");
  try {
    if (slash != std::string::npos && slash > 0) PrepareServiceFolder(lock_path.substr(0, slash));
  } catch (const std::runtime_error& error) {
    throw TInstanceLockError(error.what());
  }
  return LockInstance(lock_path);
}

TWarderonProcess::TWarderonProcess(std::unique_ptr<TPolicyBackend> backend,
                                   std::string catalogue_path, TProcessParts parts)
    : backend_(std::move(backend)),
      store_(*backend_),
      parts_(std::move(parts)),
      mail_outbox_(std::make_unique<TOutbox>(BesideCatalogue(catalogue_path, "outbox-mail.dat"))),
      syslog_outbox_(
          std::make_unique<TOutbox>(BesideCatalogue(catalogue_path, "outbox-syslog.dat"))),
      alerts_(store_, *parts_.mail, *parts_.syslog, parts_.host_name),
      baselines_(store_, alerts_, cycle_),
      catalogue_path_(std::move(catalogue_path)),
      worker_(store_, alerts_, cycle_, modules_, *parts_.clock, *parts_.beeper),
      health_(store_, alerts_, *parts_.clock, [this] {
        THealthReport::TFilesHealth files;
        if (files_ != nullptr) {
          files.files = files_->FileList().Count();
          files.directories = files_->FollowedDirectories();
          files.followed = files_->FollowingChanges();
          if (files_->DeepChecksActive()) files.digest_backlog = files_->DigestBacklog();
        }
        return files;
      }) {
  alerts_.SetModuleSource([this] { return cycle_.StepLabel; });
  TSmtpModule::TOutboxes outboxes;
  outboxes.mail = mail_outbox_.get();
  outboxes.syslog = syslog_outbox_.get();
  outboxes.local_now = [this] { return parts_.clock->LocalNow(); };
  outboxes.mail_date = MailDateNow;
  alerts_.SetOutboxes(std::move(outboxes));
  AddMonitorRows();
  health_.SetResidentMemorySource([this] { return parts_.memory_status->ResidentBytes(); });
  worker_.SetCycleEndHook([this](const TCycleOutcome& outcome) {
    parts_.memory_status->ReturnFreeMemory();
    health_.OnCycleEnd(outcome);
  });
}

void TWarderonProcess::Stop() {
  std::call_once(stopped_, [this] {
    // The worker is told first, so that it starts no new cycle (whose first
    // step empties the journal) while the stop alert waits for the sinks.
    worker_.RequestTermination();
    try {
      alerts_.SendStopAlert(kAlertStopping, "Warderon stopping", "Warderon is stopping",
                            kStopAlertBound);
    } catch (...) {
      // A sink failed; stopping goes on regardless.
    }
  });
}

}  // namespace warderon
