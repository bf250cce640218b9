#include "policy/setting_catalogue.h"

#include "core/text_case.h"

namespace warderon {
namespace {

TSettingInfo Switch(std::string name, bool on, std::string category, std::string title,
                    std::string explanation) {
  return {std::move(name),     TSettingKind::Switch, on ? "1" : "0",        0, 1, {},
          std::move(category), std::move(title),     std::move(explanation)};
}

TSettingInfo Number(std::string name, std::int32_t default_value, std::int32_t minimum,
                    std::int32_t maximum, std::string category, std::string title,
                    std::string explanation) {
  return {std::move(name),
          TSettingKind::Number,
          std::to_string(default_value),
          minimum,
          maximum,
          {},
          std::move(category),
          std::move(title),
          std::move(explanation)};
}

TSettingInfo Text(std::string name, std::string default_text, std::string category,
                  std::string title, std::string explanation) {
  return {std::move(name),     TSettingKind::Text, std::move(default_text), 0, 0, {},
          std::move(category), std::move(title),   std::move(explanation)};
}

TSettingInfo Choice(std::string name, std::vector<std::string> choices, std::string category,
                    std::string title, std::string explanation) {
  std::string first = choices.front();
  return {
      std::move(name),     TSettingKind::Choice, std::move(first),      0, 0, std::move(choices),
      std::move(category), std::move(title),     std::move(explanation)};
}

TSettingInfo Float(std::string name, std::string category, std::string title,
                   std::string explanation) {
  return {std::move(name),  TSettingKind::Float,   "0", 0, 0, {}, std::move(category),
          std::move(title), std::move(explanation)};
}

TSettingInfo Internal(std::string name, std::string explanation) {
  return {std::move(name), TSettingKind::Internal, "", 0, 0, {}, "", "", std::move(explanation)};
}

constexpr std::int32_t kMaxMinutes = 35791;  // minutes whose milliseconds fit 32 bits
constexpr std::int32_t kMaxInteger = 2147483647;

std::vector<TSettingInfo> MakeGeneralSettings() {
  return {
      // The cycle.
      Number("Delay", 1, 0, kMaxMinutes, "cycle", "Minutes between two cycles",
             "Minutes the watchdog sleeps after each monitoring cycle. 0 means 5 seconds. Read "
             "at every cycle."),
      Number("ADDelay", 5, 0, kMaxMinutes, "cycle", "Minutes between two directory group runs",
             "Minutes between two runs of the directory group monitor; 0 runs it in every "
             "cycle."),
      Switch("Beep", false, "cycle", "Beep at every cycle",
             "When enabled, the machine beeps at the top of every cycle."),
      Switch("GeneralUpdate", false, "cycle", "Re-read settings once (one-shot)",
             "When set, the next cycle re-reads the directory group settings and re-saves the "
             "socket and autostart baselines, then clears this value. Meant to be set once "
             "after a change of those settings."),
      // Alert delivery.
      Switch("EmailEnabled", false, "delivery", "Send alerts by mail",
             "When enabled, every alert is mailed to the recipients of \"Email\" through the "
             "server of \"EmailSMTPServer\"."),
      Text("Email", "", "delivery", "Mail recipients",
           "The addresses alerts are mailed to, separated by commas or semicolons."),
      Text("EmailSMTPServer", "mailrelay", "delivery", "Mail server",
           "Host name or address of the SMTP server that takes the alert mail."),
      Number("EmailPort", 0, 0, 65535, "delivery", "Mail server port",
             "TCP port of the mail server; 0 means 25, or 465 with \"EmailSecurity\" tls."),
      Choice("EmailSecurity", {"none", "starttls", "starttls-required", "tls"}, "delivery",
             "Mail encryption",
             "none: plain SMTP. starttls: TLS when the server offers it. starttls-required: "
             "no mail without TLS. tls: TLS from the first byte (port 465)."),
      Text("EmailUser", "", "delivery", "Mail user",
           "User name for SMTP authentication; empty sends without authentication. "
           "Credentials are only ever sent over TLS."),
      Text("EmailPassword", "", "delivery", "Mail password",
           "Password for SMTP authentication. It is stored in the policy key in clear: give "
           "the watchdog an account that can do nothing but send mail."),
      Text("EmailCAFile", "", "delivery", "Mail server CA file",
           "A PEM file of the certificate authorities that may sign the mail server's "
           "certificate; empty trusts the machine's authorities."),
      Switch("SyslogEnabled", false, "delivery", "Send alerts to syslog",
             "When enabled, the lines of every alert go to the collector named by \"Syslog\"."),
      Text("Syslog", "", "delivery", "Syslog collector",
           "Host name or address of the syslog collector; empty sends nothing."),
      Number("SyslogPort", 0, 0, 65535, "delivery", "Syslog port",
             "Port of the collector; 0 means 514 for udp and tcp, 6514 for tls, 2514 for relp."),
      Choice("SyslogTransport", {"udp", "tcp", "tls", "relp"}, "delivery", "Syslog transport",
             "udp: one datagram per line. tcp and tls: octet-counted messages on one kept "
             "connection. relp: the Reliable Event Logging Protocol, every message answered "
             "by the collector and sent again until it is (over TLS with \"SyslogRelpTls\" or a "
             "CA file)."),
      Choice("SyslogFormat", {"bsd", "rfc3164", "rfc5424"}, "delivery", "Syslog message form",
             "bsd: the detail lines as they are. rfc3164: with host and tag \"warderon[pid]:\". "
             "rfc5424: with the alert's subject, level and module as structured data."),
      Text("SyslogCAFile", "", "delivery", "Syslog CA file",
           "A PEM file of the certificate authorities that may sign the collector's "
           "certificate (tls, relp over TLS); empty trusts the machine's authorities."),
      Switch("SyslogRelpTls", false, "delivery", "RELP over TLS",
             "When enabled, relp runs over TLS (also when \"SyslogCAFile\" is set)."),
      Text("SyslogCertFile", "", "delivery", "Syslog client certificate",
           "TLS: the watchdog's own certificate, for a collector that asks clients for one "
           "(rsyslog's imrelp with TLS does): a PEM file on Linux, a PKCS#12 (.pfx) file "
           "holding the certificate and its key, without password, on Windows; empty offers "
           "none."),
      Text("SyslogKeyFile", "", "delivery", "Syslog client key",
           "TLS, Linux: the PEM file of the private key of \"SyslogCertFile\"; empty: the key "
           "is in that file."),
      Number("SyslogFacility", 0, 0, 23, "delivery", "Syslog facility",
             "Syslog facility code of the messages (0 kernel ... 16 local0 ... 23 local7)."),
      Number("OutboxMaxMB", 64, 1, 4096, "delivery", "Outbox size per sink (MB)",
             "What mail or syslog could not take waits in an outbox file beside the file "
             "catalogue and goes first, in the order raised, when the sink answers again. When "
             "an outbox is full its oldest entries go, and the first thing delivered is the "
             "alert \"N alerts dropped while SINK was unreachable\"."),
      Number("OutboxMaxDays", 7, 0, 3650, "delivery", "Days an outbox entry is kept",
             "Outbox entries older than this are dropped with the same alert; 0 keeps them "
             "until the size bound."),
      // Monitors.
      Switch("FilesEnabled", false, "files", "Watch files",
             "When enabled, the files below \"IncludeDirs\" and the \"SpecialFiles\" are "
             "compared with the catalogue at every cycle."),
      Number("FilesFullWalkMinutes", 60, 0, 10080, "files", "Minutes between two full walks",
             "Linux, as root: between full walks a cycle looks only at the directories the kernel "
             "reports as changed. At least this often every watched tree is walked in full; 0 "
             "walks in full every cycle. Windows always walks in full."),
      Switch("FilesAttributes", false, "files", "Compare owner, mode and identity",
             "When enabled, every catalogued file's owner and group, permission bits (Windows: the "
             "read-only, hidden and system attributes), identity, link count, security descriptor "
             "and status-change time are compared too. Kept in a file beside the catalogue."),
      Number("DigestMBPerCycle", 512, 1, 1048576, "files", "Megabytes hashed per cycle",
             "At most this much content of the files below \"DigestDirs\" is read in one cycle; "
             "what is left is read in the next cycles and reported then."),
      Number("DigestFullCheckHours", 24, 0, 87600, "files", "Hours to hash every file again",
             "Every file below \"DigestDirs\" is hashed again within this time, in slices spread "
             "over the cycles; 0 hashes only files whose metadata moved."),
      Switch("ServicesEnabled", false, "accounts", "Watch services",
             "When enabled, services that appear, disappear, start or stop are reported."),
      Switch("LocalUsersEnabled", false, "accounts", "Watch local accounts",
             "When enabled, local accounts that appear, go or change (Windows: enabled, password "
             "never expires, administrator; Linux: uid, gid, shell, locked) are reported in one "
             "\"user account changes\" alert. The first reading is taken in silently."),
      Switch("ServicesConfig", false, "accounts", "Watch service configurations",
             "When enabled, each service's configuration is watched too (Windows: binary path, "
             "service DLL, start type, account, failure command and actions, security; Linux: the "
             "unit file, its drop-ins, commands, user, group and enabled state). The watchdog's "
             "own service is watched so whenever the services monitor runs."),
      Switch("ServicesAuto", true, "accounts", "Ignore restless services",
             "When enabled, a service that changed more than five times is no longer reported."),
      Switch("ADEnabled", false, "directory", "Watch directory groups",
             "When enabled, new members of the directory groups of \"Groups\" (nested groups "
             "included) are reported."),
      Text("ad", "orvan", "directory", "Directory server",
           "The directory server's name; \"ADDomainSuffix\" is appended to it."),
      Text("ADDomainSuffix", "", "directory", "Directory domain suffix",
           "Appended to \"ad\" to form the server's host name; empty at first use means the "
           "machine's DNS domain, which is then stored."),
      Number("ADPort", 0, 0, 65535, "directory", "Directory port",
             "LDAP port; 0 means 389, or 636 with \"ADTls\" ldaps."),
      Choice("ADTls", {"auto", "none", "starttls", "ldaps"}, "directory", "Directory encryption",
             "auto: StartTLS when a user is set, else none. none, starttls, ldaps: as named. A "
             "password is never sent in clear."),
      Text("ADCAFile", "", "directory", "Directory CA file",
           "A PEM file of the certificate authorities that may sign the directory's "
           "certificate; empty trusts the machine's authorities."),
      Text("userid", "", "directory", "Directory user",
           "The account the directory is searched with; empty searches as the machine."),
      Text("password", "", "directory", "Directory password",
           "Password of \"userid\", stored in the policy key in clear: use an account that "
           "can only read."),
      Switch("SocketsEnabled", false, "network", "Watch listening sockets",
             "When enabled, programs that begin or stop listening on TCP ports are reported."),
      Switch("SharesListClients", false, "network", "Watch file-sharing clients",
             "When enabled, remote hosts connected to ports 445 and 139 are watched too."),
      Switch("SharesEnabled", false, "network", "Watch shares",
             "When enabled, new shares and the clients that connect to them or leave are "
             "reported."),
      Switch("HackingEnabled", false, "tamper", "Watch autostart entries",
             "When enabled, changes of the autostart registry values are reported."),
      Switch("HackingExtended", false, "tamper", "Watch more autostart places",
             "When enabled with the autostart monitor, the places intruders use most beyond "
             "those are watched too (Windows: Userinit, Policies Run, IFEO debuggers, silent "
             "process exit monitors, AppInit_DLLs, LSA packages, BootExecute, print monitors, "
             "the Startup folder, scheduled tasks; Linux: unit commands, PAM, udev, sudoers, "
             "kernel modules, library paths, shell start files, xdg autostart, at jobs, every "
             "account's authorized keys). Each starts silently."),
      Number("AuthenticodeEnabled", 0, 0, 9, "tamper", "Signature check level",
             "Above 0, processes of system accounts must run signed executables of a "
             "company of \"Authenticode\". Lowering the level raises an alert."),
      Switch("DisksEnabled", false, "resources", "Watch disk space",
             "When enabled, a disk fuller than its \"Disks\" threshold (default 100 %) is "
             "reported."),
      Switch("MemGlobalEnabled", false, "resources", "Watch machine memory",
             "When enabled, memory load above \"MemGlobalWarn\" is reported."),
      Number("MemGlobalWarn", 0, 0, 100, "resources", "Machine memory threshold",
             "Memory load in percent above which an alert is raised."),
      Switch("MemLocalEnabled", false, "resources", "Watch the watchdog's memory",
             "When enabled, the watchdog's own memory above \"MemLocalWarn\" is reported."),
      Number("MemLocalWarn", 0, 0, kMaxInteger, "resources", "Own memory threshold",
             "The watchdog's memory in KiB above which an alert is raised."),
      Text("ScriptBootup", "", "scripts", "Start-up command",
           "A command run through the system's command interpreter at program start."),
      Switch("ScriptRunNowBoot", false, "scripts", "Run the start-up command now (one-shot)",
             "When set, the next cycle runs \"ScriptBootup\" and clears this value."),
      Text("ScriptPath", "", "scripts", "Daily command",
           "A command run once a day at \"ScriptWhen\" (a fraction of a day, set with: "
           "warderon -policy set general ScriptWhen 0.25 -type float)."),
      Switch("ScriptRunNow", false, "scripts", "Run the daily command now (one-shot)",
             "When set, the next cycle runs \"ScriptPath\" and clears this value."),
      Float("ScriptWhen", "scripts", "Time of the daily command",
            "Time of day of \"ScriptPath\" as a fraction of a day (0.5 is noon)."),
      Text("ScriptPath2", "", "scripts", "Second daily command",
           "A second command run once a day at \"ScriptWhen2\"."),
      Switch("ScriptRunNow2", false, "scripts", "Run the second daily command now (one-shot)",
             "When set, the next cycle runs \"ScriptPath2\" and clears this value."),
      Float("ScriptWhen2", "scripts", "Time of the second daily command",
            "Time of day of \"ScriptPath2\" as a fraction of a day."),
      // The watchdog's own health, for a site's central systems.
      Number("HeartbeatMinutes", 0, 0, 35791, "health", "Minutes between heartbeats",
             "Above 0: the alert \"Warderon heartbeat\" at the first cycle and then at the first "
             "cycle after every this many minutes, with the start time, cycles run, the last "
             "cycle's duration, the monitors enabled, and the alerts, delivery failures and "
             "failed modules since the heartbeat before. It goes to syslog and the journal; by "
             "mail only with \"HeartbeatMail\". 0: no heartbeat."),
      Switch("HeartbeatMail", false, "health", "Mail the heartbeat",
             "When enabled, the heartbeat is mailed too (mailboxes of a large site fill fast)."),
      Text("MetricsFile", "", "health", "Metrics file",
           "A path: after every cycle the watchdog writes its metrics there in the Prometheus "
           "text format, replacing the file whole (for the textfile collector of node_exporter "
           "or windows_exporter, whose folder must exist). Empty: no metrics."),
      // Written by the program.
      Internal("version", "The data version of the stored settings and baselines."),
      Internal("LastRun", "Local date and time of the end of the last cycle."),
      Internal("MemGlobalNow", "Memory load in percent at the last check."),
      Internal("MemLocalNow", "The watchdog's memory in KiB at the last check."),
  };
}

}  // namespace

const std::vector<TCategoryInfo>& SettingCategories() {
  static const std::vector<TCategoryInfo> categories = {
      {"cycle", "Monitoring cycle"},
      {"delivery", "Alert delivery"},
      {"files", "File integrity"},
      {"accounts", "Services and local groups"},
      {"directory", "Directory groups"},
      {"network", "Sockets and shares"},
      {"tamper", "Autostart and signatures"},
      {"resources", "Disks and memory"},
      {"scripts", "Administrator commands"},
      {"health", "Watchdog health"},
  };
  return categories;
}

const std::vector<TSettingInfo>& GeneralSettings() {
  static const std::vector<TSettingInfo> settings = MakeGeneralSettings();
  return settings;
}

const std::vector<TListInfo>& AdministratorLists() {
  static const std::vector<TListInfo> lists = {
      {"IncludeDirs", "files", "Watched directories", "Directory",
       "Directories whose files are watched, with everything below them."},
      {"ExcludeDirs", "files", "Directories not watched", "Directory (full path)",
       "Directories the walk does not enter."},
      {"ExcludeFiles", "files", "Files not watched", "File (full path)",
       "Files left out of the watched directories."},
      {"SpecialFiles", "files", "Single watched files", "File (full path)",
       "Files watched on their own, outside the watched directories."},
      {"DigestDirs", "files", "Directories whose content is hashed", "Directory",
       "Files below these directories (and the single watched files within them) also carry a "
       "SHA-256 of their content; a change of it is reported."},
      {"LocGroups", "accounts", "Watched local groups", "Group",
       "Local groups whose new members are reported."},
      {"Groups", "directory", "Watched directory groups", "Account name",
       "Directory groups (by account name) whose new members are reported."},
      {"SocketsIgnore", "network", "Sockets not reported", "Pattern",
       "Sockets left out: a full key (owner:port), owner:*, *:port, or *:*. Read at program "
       "start."},
      {"Authenticode", "tamper", "Trusted companies", "Company (or part of its name)",
       "Signers trusted for processes of system accounts; an entry may be part of a name."},
      {"AuthenticodeExceptions", "tamper", "Executables without signature",
       "Executable (full path)", "Executables of system-account processes that need no signature."},
  };
  return lists;
}

const std::vector<std::string>& ProgramSections() {
  static const std::vector<std::string> sections = {
      "general", "Logs",    "Services",        "Services-AutoIgnored", "locgroup-",
      "group-",  "Sockets", "LocalShares",     "LocalShares-Data\\",   "Hacking\\",
      "Disks",   "Health",  "Services-Config", "LocalUsers",
  };
  return sections;
}

const TSettingInfo* FindGeneralSetting(const std::string& name) {
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (CompareTextIgnoreCase(setting.name, name) == 0) return &setting;
  }
  return nullptr;
}

}  // namespace warderon
