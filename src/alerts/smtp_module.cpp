#include "alerts/smtp_module.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "core/text.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kJournalSection[] = "Logs";
constexpr int kSyslogWarning = 4;
constexpr int kHighestFacility = 23;  // local7
// The site's mail relay, used until "EmailSMTPServer" names another.
constexpr char kDefaultMailRelay[] = "mailrelay";

// The subject and detail lines as they may leave the machine: no control
// character from a file or service name reaches mail, syslog or journal.
std::vector<std::string> VisibleLines(const std::vector<std::string>& lines) {
  std::vector<std::string> visible;
  visible.reserve(lines.size());
  for (const std::string& line : lines) visible.push_back(VisibleLine(line));
  return visible;
}

}  // namespace

TSmtpModule::TSmtpModule(TPolicyStore& store, TMailTransport& mail, TSyslogSender& syslog,
                         std::function<std::string()> host_name_source)
    : store_(store), mail_(mail), syslog_(syslog), host_name_source_(std::move(host_name_source)) {}

void TSmtpModule::SendAlert(AlertLevel level, const std::string& subject, const std::string& body) {
  const std::lock_guard lock(dispatch_mutex_);
  if (level == kAlertIntegrity && IntegrityAlertsSuppressed) return;
  DispatchAlert(level, VisibleLine(subject), body, {});
}

void TSmtpModule::SendAlertWithDetails(AlertLevel level, const std::string& subject,
                                       const std::string& body,
                                       const std::vector<std::string>& details) {
  const std::lock_guard lock(dispatch_mutex_);
  if (std::any_of(details.begin(), details.end(),
                  [](const std::string& line) { return NeedsVisibleLine(line); })) {
    DispatchAlert(level, VisibleLine(subject), body, VisibleLines(details));
  } else {
    DispatchAlert(level, VisibleLine(subject), body, details);
  }
}

std::string TSmtpModule::SendStopAlert(AlertLevel level, const std::string& subject,
                                       const std::string& body, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // First the journal: whatever happens to the sinks, the stop is on record.
  const std::string visible = VisibleLine(subject);
  {
    const std::lock_guard journal(journal_mutex_);
    WriteJournal(visible);
    stop_journalled_ = true;
  }
  std::unique_lock lock(dispatch_mutex_, deadline);
  if (!lock.owns_lock()) {
    return "a delivery in progress held the mail and syslog senders past the stop's bound";
  }
  ++counts_.alerts[{std::string(), level}];
  if (observer_ != nullptr) observer_->OnAlert(visible, body, {});
  mail_failure_.blocked = false;
  syslog_failure_.blocked = false;
  std::string undelivered;
  if (store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    try {
      SendAlertMail(visible, body, {}, deadline);
    } catch (const std::exception& error) {
      mail_failure_.Note(1, error.what());
      undelivered = std::string("mail: ") + error.what();
    }
  }
  if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      syslog_failure_.Note(1, "the stop's bound ran out before syslog");
    } else {
      SendAlertSyslog(level, visible, {});
    }
    if (syslog_failure_.blocked) {
      if (!undelivered.empty()) undelivered += "; ";
      undelivered += "syslog: " + syslog_failure_.error;
    }
  }
  return undelivered;
}

void TSmtpModule::ClearJournal() {
  const std::lock_guard journal(journal_mutex_);
  if (stop_journalled_) return;
  store_.DeletePolicySection(kJournalSection);
}

void TSmtpModule::BeginDispatchRound() {
  const std::lock_guard lock(dispatch_mutex_);
  mail_failure_.blocked = false;
  syslog_failure_.blocked = false;
}

void TSmtpModule::SuppressIntegrityAlerts() {
  const std::lock_guard lock(dispatch_mutex_);
  IntegrityAlertsSuppressed = true;
}

void TSmtpModule::ResumeIntegrityAlerts() {
  const std::lock_guard lock(dispatch_mutex_);
  IntegrityAlertsSuppressed = false;
}

void TSmtpModule::SendAlertWithoutMail(AlertLevel level, const std::string& subject,
                                       const std::string& body,
                                       const std::vector<std::string>& details) {
  const std::lock_guard lock(dispatch_mutex_);
  DispatchAlert(level, VisibleLine(subject), body, VisibleLines(details), false);
}

std::uint64_t TSmtpModule::TDispatchCounts::AlertTotal() const {
  std::uint64_t total = 0;
  for (const auto& [key, count] : alerts) total += count;
  return total;
}

TSmtpModule::TDispatchCounts TSmtpModule::Counts() {
  const std::lock_guard lock(dispatch_mutex_);
  return counts_;
}

void TSmtpModule::SetObserver(TAlertObserver* observer) {
  const std::lock_guard lock(dispatch_mutex_);
  observer_ = observer;
}

void TSmtpModule::TSinkFailure::Note(std::size_t lost, const std::string& what) {
  lines += lost;
  blocked = true;
  if (error.empty()) error = what.empty() ? "failed" : what;
}

void TSmtpModule::TSinkFailure::Skip(std::size_t lost) {
  lines += lost;
  untried += lost;
}

std::string TSmtpModule::TSinkFailure::Report(const char* sink, const char* unit) const {
  std::string text =
      std::string(sink) + ": " + std::to_string(lines) + " " + unit + " not sent: " + error;
  if (untried > 0) {
    text += " (" + std::to_string(untried) +
            " of them not tried after that; the next cycle tries "
            "again)";
  }
  return text;
}

std::string TSmtpModule::TakeDeliveryFailures() {
  const std::lock_guard lock(dispatch_mutex_);
  std::string text;
  if (syslog_failure_.lines > 0) text += syslog_failure_.Report("syslog", "lines");
  if (mail_failure_.lines > 0) {
    if (!text.empty()) text += "\r\n";
    text += mail_failure_.Report("mail", "alerts");
  }
  counts_.syslog_not_sent += syslog_failure_.lines;
  counts_.mail_not_sent += mail_failure_.lines;
  syslog_failure_ = {};
  mail_failure_ = {};
  return text;
}

void TSmtpModule::DispatchAlert(AlertLevel level, const std::string& subject,
                                const std::string& body, const std::vector<std::string>& details,
                                bool mail) {
  ++counts_.alerts[{module_source_ ? module_source_() : std::string(), level}];
  if (observer_ != nullptr) observer_->OnAlert(subject, body, details);
  // Neither sink may keep the alert from the journal or from the other
  // sink, nor fail the module that raised it: a failure is noted for the
  // cycle's report.
  if (mail && store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    // The journal's shape follows the switch, not the server's health.
    JournalMailLines(details);
    if (mail_failure_.Failed()) {
      mail_failure_.Skip(1);
    } else {
      try {
        SendAlertMail(subject, body, details, TMailTransport::TDeadline::max());
      } catch (const std::exception& error) {
        mail_failure_.Note(1, error.what());
      }
    }
  }
  if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    if (syslog_failure_.Failed()) {
      syslog_failure_.Skip(std::max<std::size_t>(details.size(), 1));
    } else {
      SendAlertSyslog(level, subject, details);
    }
  }
  try {
    // One transaction for the alert's entries: fast, and all or none.
    store_.Backend().RunAtomically([&] {
      WriteJournal(subject);
      for (const std::string& line : details) WriteJournal(line);
    });
  } catch (const TPolicyError&) {
    // Journal writes are best effort, like each entry's own write.
  }
}

TMailServer TSmtpModule::ReadMailServer() {
  TMailServer server(store_.ReadPolicyString(kGeneral, "EmailSMTPServer", kDefaultMailRelay));
  const std::int32_t port = store_.ReadPolicyInteger(kGeneral, "EmailPort", 0);
  server.port = port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0;
  // Unknown security never means less of it: such a setting sends nothing.
  const auto security = store_.ReadPolicyChoice(kGeneral, "EmailSecurity",
                                                {"none", "starttls", "starttls-required", "tls"}, 0,
                                                "no mail is sent until it is one of them");
  if (!security) throw std::runtime_error("EmailSecurity is not a known choice; no mail was sent");
  constexpr TMailSecurity kSecurities[] = {TMailSecurity::None, TMailSecurity::StartTlsWhenOffered,
                                           TMailSecurity::StartTlsRequired, TMailSecurity::Tls};
  server.security = kSecurities[*security];
  server.user = store_.ReadPolicyString(kGeneral, "EmailUser", "");
  server.password = store_.ReadPolicyString(kGeneral, "EmailPassword", "");
  server.ca_file = store_.ReadPolicyString(kGeneral, "EmailCAFile", "");
  return server;
}

void TSmtpModule::SendAlertMail(const std::string& subject, const std::string& body,
                                const std::vector<std::string>& details,
                                TMailTransport::TDeadline deadline) {
  if (LocalHostName.empty()) LocalHostName = host_name_source_();
  // Any failure (a store read, the server) reaches the caller, which notes
  // it for the cycle's report.
  const TMailServer server = ReadMailServer();
  const std::string recipients = store_.ReadPolicyString(kGeneral, "Email", "");
  {
    message_.from = "warderon@" + LocalHostName;
    message_.sender = message_.from;
    message_.to = ParseAddressList(recipients);
    message_.subject = LocalHostName + ": " + subject;
    message_.body_lines.clear();
    message_.body_lines.push_back(body);
    if (!details.empty()) {
      const std::size_t shown = std::min(details.size(), kMaxMailDetailLines);
      for (std::size_t i = 0; i < shown; ++i) message_.body_lines.push_back(details[i]);
      if (details.size() > kMaxMailDetailLines) {
        message_.body_lines.emplace_back("... additional items deleted");
      }
    }
    mail_.SendMail(server, message_, deadline);
  }
}

TSyslogTarget TSmtpModule::ReadSyslogTarget() {
  TSyslogTarget target(store_.ReadPolicyString(kGeneral, "Syslog", ""));
  const std::int32_t port = store_.ReadPolicyInteger(kGeneral, "SyslogPort", 0);
  target.port = port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0;
  const auto transport =
      store_.ReadPolicyChoice(kGeneral, "SyslogTransport", {"udp", "tcp", "tls"}, 0,
                              "no syslog message is sent until it is one of them");
  if (!transport && !target.host.empty()) {
    throw std::runtime_error("SyslogTransport is not a known choice; nothing was sent");
  }
  constexpr TSyslogTransport kTransports[] = {TSyslogTransport::Udp, TSyslogTransport::Tcp,
                                              TSyslogTransport::Tls};
  target.transport = kTransports[transport.value_or(0)];
  const auto form = store_.ReadPolicyChoice(kGeneral, "SyslogFormat", {"bsd", "rfc3164", "rfc5424"},
                                            0, "the default bsd is used");
  constexpr TSyslogForm kForms[] = {TSyslogForm::Bsd, TSyslogForm::Rfc3164, TSyslogForm::Rfc5424};
  target.form = kForms[form.value_or(0)];
  target.ca_file = store_.ReadPolicyString(kGeneral, "SyslogCAFile", "");
  return target;
}

void TSmtpModule::SendAlertSyslog(AlertLevel level, const std::string& subject,
                                  const std::vector<std::string>& lines) {
  TSyslogTarget target;
  try {
    target = ReadSyslogTarget();
  } catch (const std::exception& error) {
    syslog_failure_.Note(std::max<std::size_t>(lines.size(), 1), error.what());
    return;
  }
  if (target.host.empty()) return;
  // The old form sends detail lines only; the tagged and structured forms,
  // which collectors read as events, send an alert without details as one
  // message with its subject.
  std::vector<std::string> subject_only;
  if (lines.empty() && target.form != TSyslogForm::Bsd) subject_only.push_back(subject);
  const std::vector<std::string>& details = lines.empty() ? subject_only : lines;
  if (details.empty()) return;
  TSyslogAlert alert;
  alert.subject = subject;
  alert.level = level;
  if (module_source_) alert.module = module_source_();
  for (std::size_t i = 0; i < details.size(); ++i) {
    // The stored number is taken modulo 65536; codes above 23 become local7.
    const auto code =
        static_cast<std::uint16_t>(store_.ReadPolicyInteger(kGeneral, "SyslogFacility", 0));
    const int facility = code > kHighestFacility ? kHighestFacility : code;
    try {
      syslog_.SendSyslog(target, facility, kSyslogWarning, details[i], alert);
    } catch (const std::exception& error) {
      // A host that cannot be resolved fails every line alike: one attempt
      // per alert, the rest counted as lost with it.
      syslog_failure_.Note(details.size() - i, error.what());
      return;
    }
  }
}

void TSmtpModule::JournalMailLines(const std::vector<std::string>& details) {
  if (details.empty()) return;
  // A journal that cannot take them (a full disk) never stops the mail.
  try {
    store_.Backend().RunAtomically([&] {
      const std::size_t shown = std::min(details.size(), kMaxMailDetailLines);
      for (std::size_t i = 0; i < shown; ++i) WriteJournal(details[i]);
      if (details.size() > kMaxMailDetailLines) WriteJournal("... additional items deleted");
    });
  } catch (const TPolicyError&) {
  }
}

void TSmtpModule::WriteJournal(const std::string& text) {
  const std::int32_t number = ++JournalCounter;
  store_.WritePolicyString(kJournalSection, std::to_string(number), text);
}

}  // namespace warderon
