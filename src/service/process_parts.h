// Everything a watchdog process talks to outside itself: the clock, the
// delivery channels and each monitor's view of the machine. The service and
// the foreground runner take the system's parts; tests compose a process
// from fakes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "alerts/delivery.h"
#include "platform/accounts/local_groups.h"
#include "platform/accounts/local_users.h"
#include "platform/accounts/service_list.h"
#include "platform/autostart/autostart_source.h"
#include "platform/console/beeper.h"
#include "platform/files/change_journal.h"
#include "platform/files/directory_search.h"
#include "platform/files/volumes.h"
#include "platform/net/ldap_client.h"
#include "platform/net/share_list.h"
#include "platform/net/tcp_table.h"
#include "platform/process/command_runner.h"
#include "platform/process/memory_status.h"
#include "platform/process/process_info.h"
#include "platform/process/process_services.h"
#include "platform/time/clock.h"
#include "platform/trust/signature_verifier.h"

namespace warderon {

struct TProcessParts {
  std::function<std::string()> host_name;
  std::string local_domain_suffix;  // the machine's DNS domain with its leading "."
  std::unique_ptr<TClock> clock;
  std::unique_ptr<TMailTransport> mail;
  std::unique_ptr<TSyslogSender> syslog;
  std::unique_ptr<TDirectorySearch> directory_search;
  std::unique_ptr<TServiceList> service_list;
  std::unique_ptr<TLocalGroups> local_groups;
  std::unique_ptr<TLocalUsers> local_users;
  std::unique_ptr<TVolumes> volumes;
  std::unique_ptr<TMemoryStatus> memory_status;
  std::unique_ptr<TProcessInfo> process_info;
  std::unique_ptr<TCommandRunner> command_runner;
  std::unique_ptr<TTcpTable> tcp_table;
  std::unique_ptr<TShareList> share_list;
  std::unique_ptr<TAutostartSource> autostart_source;
  std::unique_ptr<TProcessServices> process_services;
  std::unique_ptr<TSignatureVerifier> signature_verifier;
  std::unique_ptr<TLdapClient> ldap_client;
  std::unique_ptr<TBeeper> beeper;
  std::unique_ptr<TChangeJournal> change_journal;  // may be null: files are walked in full
  // Notes for the administrator that are not alerts (the console; the
  // system log under systemd).
  std::function<void(const std::string&)> console_note;
};

TProcessParts MakeSystemProcessParts();

}  // namespace warderon
