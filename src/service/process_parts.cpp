#include "service/process_parts.h"

#include "service/warderon_thread.h"

#include <iostream>

#include "alerts/smtp_client.h"
#include "alerts/syslog_sender.h"
#include "platform/net/host_name.h"
#include "platform/time/mail_date.h"

namespace warderon {

TProcessParts MakeSystemProcessParts() {
  TProcessParts parts;
  parts.host_name = GetLocalHostName;
  parts.local_domain_suffix = GetLocalDnsDomainSuffix();
  parts.clock = MakeSystemClock();
  parts.mail = std::make_unique<TSmtpClient>(GetLocalHostName, MailDateNow);
  parts.syslog = std::make_unique<TSyslogClient>(*parts.clock, GetLocalHostName, CurrentProcessId(),
                                                 TSyslogClient::kPort, VersionText(kDataVersion));
  parts.directory_search = MakeSystemDirectorySearch();
  parts.service_list = MakeSystemServiceList();
  parts.local_groups = MakeSystemLocalGroups();
  parts.local_users = MakeSystemLocalUsers();
  parts.volumes = MakeSystemVolumes();
  parts.memory_status = MakeSystemMemoryStatus();
  parts.process_info = MakeSystemProcessInfo();
  parts.command_runner = MakeSystemCommandRunner();
  parts.tcp_table = MakeSystemTcpTable();
  parts.share_list = MakeSystemShareList();
  parts.autostart_source = MakeSystemAutostartSource();
  parts.process_services = MakeSystemProcessServices();
  parts.signature_verifier = MakeSystemSignatureVerifier();
  parts.ldap_client = MakeSystemLdapClient();
  parts.beeper = MakeSystemBeeper();
  parts.change_journal = MakeSystemChangeJournal();
  parts.console_note = [](const std::string& note) {
    std::cerr << "warderon: " << note << std::endl;
  };
  return parts;
}

}  // namespace warderon
