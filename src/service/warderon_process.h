// The objects one watchdog process is made of, composed in one place and
// handed to each part by reference. Both the foreground runner and the
// Windows service host build on it.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "alerts/delivery.h"
#include "alerts/smtp_module.h"
#include "core/cycle_state.h"
#include "platform/autostart_source.h"
#include "platform/beeper.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/directory_search.h"
#include "platform/ldap_client.h"
#include "platform/local_groups.h"
#include "platform/memory_status.h"
#include "platform/policy_backend.h"
#include "platform/process_info.h"
#include "platform/process_services.h"
#include "platform/service_list.h"
#include "platform/share_list.h"
#include "platform/signature_verifier.h"
#include "platform/tcp_table.h"
#include "platform/volumes.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"
#include "service/module_table.h"
#include "service/warderon_thread.h"

namespace warderon {

class TWarderonProcess {
 public:
  TWarderonProcess(std::unique_ptr<TPolicyBackend> backend, std::string catalogue_path);

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
  std::unique_ptr<TClock> clock_;
  std::unique_ptr<TMailTransport> mail_;
  std::unique_ptr<TSyslogSender> syslog_;
  TSmtpModule alerts_;
  TCycleState cycle_;
  TBaselineLists baselines_;
  std::string catalogue_path_;
  std::unique_ptr<TDirectorySearch> directory_search_;
  std::unique_ptr<TServiceList> service_list_;
  std::unique_ptr<TLocalGroups> local_groups_;
  std::unique_ptr<TVolumes> volumes_;
  std::unique_ptr<TMemoryStatus> memory_status_;
  std::unique_ptr<TProcessInfo> process_info_;
  std::unique_ptr<TCommandRunner> command_runner_;
  std::unique_ptr<TTcpTable> tcp_table_;
  std::unique_ptr<TShareList> share_list_;
  std::unique_ptr<TAutostartSource> autostart_source_;
  std::unique_ptr<TProcessServices> process_services_;
  std::unique_ptr<TSignatureVerifier> signature_verifier_;
  std::unique_ptr<TLdapClient> ldap_client_;
  std::unique_ptr<TBeeper> beeper_;
  TModuleTable modules_;
  TWarderonThread worker_;
  std::once_flag stopped_;
};

}  // namespace warderon
