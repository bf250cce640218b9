#include "alerts/smtp_module.h"

#include <exception>

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kJournalSection[] = "Logs";
constexpr int kSyslogWarning = 4;
constexpr int kHighestFacility = 23;  // local7
// The site's mail relay, used until "EmailSMTPServer" names another.
constexpr char kDefaultMailRelay[] = "mailrelay";

}  // namespace

TSmtpModule::TSmtpModule(TPolicyStore& store, TMailTransport& mail, TSyslogSender& syslog,
                         std::function<std::string()> host_name_source)
    : store_(store), mail_(mail), syslog_(syslog), host_name_source_(std::move(host_name_source)) {}

void TSmtpModule::SendAlert(AlertLevel level, const std::string& subject, const std::string& body) {
  const std::lock_guard lock(dispatch_mutex_);
  if (level == kAlertIntegrity && IntegrityAlertsSuppressed) return;
  DispatchAlert(subject, body, {});
}

void TSmtpModule::SendAlertWithDetails(AlertLevel /*level*/, const std::string& subject,
                                       const std::string& body,
                                       const std::vector<std::string>& details) {
  const std::lock_guard lock(dispatch_mutex_);
  DispatchAlert(subject, body, details);
}

void TSmtpModule::SuppressIntegrityAlerts() {
  const std::lock_guard lock(dispatch_mutex_);
  IntegrityAlertsSuppressed = true;
}

void TSmtpModule::ResumeIntegrityAlerts() {
  const std::lock_guard lock(dispatch_mutex_);
  IntegrityAlertsSuppressed = false;
}

void TSmtpModule::SetObserver(TAlertObserver* observer) {
  const std::lock_guard lock(dispatch_mutex_);
  observer_ = observer;
}

void TSmtpModule::DispatchAlert(const std::string& subject, const std::string& body,
                                const std::vector<std::string>& details) {
  if (observer_ != nullptr) observer_->OnAlert(subject, body, details);
  if (store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    SendAlertMail(subject, body, details);
  }
  // A syslog failure still reaches the caller, but only after the journal
  // has the alert: the local trace must not lose what the network lost.
  std::exception_ptr syslog_failure;
  if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    try {
      SendAlertSyslog(details);
    } catch (...) {
      syslog_failure = std::current_exception();
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
  if (syslog_failure) std::rethrow_exception(syslog_failure);
}

void TSmtpModule::SendAlertMail(const std::string& subject, const std::string& body,
                                const std::vector<std::string>& details) {
  if (LocalHostName.empty()) LocalHostName = host_name_source_();
  // Store failures of these two reads end the dispatch and reach the caller.
  const std::string server =
      store_.ReadPolicyString(kGeneral, "EmailSMTPServer", kDefaultMailRelay);
  const std::string recipients = store_.ReadPolicyString(kGeneral, "Email", "");
  try {
    message_.from = "warderon@" + LocalHostName;
    message_.sender = message_.from;
    message_.to = ParseAddressList(recipients);
    message_.subject = LocalHostName + ": " + subject;
    message_.body_lines.clear();
    message_.body_lines.push_back(body);
    if (!details.empty()) {
      const std::size_t shown = std::min(details.size(), kMaxMailDetailLines);
      store_.Backend().RunAtomically([&] {
        for (std::size_t i = 0; i < shown; ++i) {
          message_.body_lines.push_back(details[i]);
          WriteJournal(details[i]);
        }
        if (details.size() > kMaxMailDetailLines) {
          message_.body_lines.emplace_back("... additional items deleted");
          WriteJournal("... additional items deleted");
        }
      });
    }
    mail_.SendMail(server, message_);
  } catch (const std::exception&) {
    // Mail is best effort: the next alert tries afresh.
  }
}

void TSmtpModule::SendAlertSyslog(const std::vector<std::string>& details) {
  const std::string host = store_.ReadPolicyString(kGeneral, "Syslog", "");
  if (host.empty() || details.empty()) return;
  for (const std::string& line : details) {
    // The stored number is taken modulo 65536; codes above 23 become local7.
    const auto code =
        static_cast<std::uint16_t>(store_.ReadPolicyInteger(kGeneral, "SyslogFacility", 0));
    const int facility = code > kHighestFacility ? kHighestFacility : code;
    syslog_.SendSyslog(host, facility, kSyslogWarning, line);
  }
}

void TSmtpModule::WriteJournal(const std::string& text) {
  ++JournalCounter;
  store_.WritePolicyString(kJournalSection, std::to_string(JournalCounter), text);
}

}  // namespace warderon
