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
  const TDispatchLock lock(*this);
  if (level == kAlertIntegrity && IntegrityAlertsSuppressed) return;
  DispatchAlert(level, VisibleLine(subject), body, {});
}

void TSmtpModule::SendAlertWithDetails(AlertLevel level, const std::string& subject,
                                       const std::string& body,
                                       const std::vector<std::string>& details) {
  const TDispatchLock lock(*this);
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
  // The time the stop was asked, however long the senders keep it waiting
  // (the clocks are set once, before any thread dispatches).
  const TRaiseTime raised = RaiseNow();
  std::unique_lock lock(dispatch_mutex_, deadline);
  if (!lock.owns_lock()) {
    // The delivery that holds the senders queues it as it lets them go; so
    // does this thread if that happened just now.
    {
      const std::lock_guard pending(pending_stop_mutex_);
      pending_stop_ = TPendingStop{level, visible, body, raised};
    }
    std::unique_lock again(dispatch_mutex_, std::chrono::milliseconds(100));
    if (again.owns_lock()) QueuePendingStop();
    return "a delivery in progress held the mail and syslog senders past the stop's bound (the "
           "stop alert waits in the outboxes for the next start)";
  }
  ++counts_.alerts[{std::string(), level}];
  if (observer_ != nullptr) observer_->OnAlert(visible, body, {});
  mail_failure_.blocked = false;
  syslog_failure_.blocked = false;
  std::string undelivered;
  const auto note = [&](const char* sink, const std::string& error) {
    if (!undelivered.empty()) undelivered += "; ";
    undelivered += std::string(sink) + ": " + error;
  };
  if (store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    try {
      SendAlertMail(visible, body, {}, deadline, raised);
    } catch (const std::exception& error) {
      mail_failure_.Note(1, error.what());
      QueueMail(visible, body, {}, raised);  // the next start sends it
      note("mail", error.what());
    }
  }
  if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      syslog_failure_.Note(1, "the stop's bound ran out before syslog");
    }
    SendAlertSyslog(level, visible, {}, raised);
    if (syslog_failure_.blocked) note("syslog", syslog_failure_.error);
  }
  return undelivered;
}

TSmtpModule::TDispatchLock::~TDispatchLock() { module_.QueuePendingStop(); }

void TSmtpModule::QueuePendingStop() {
  std::optional<TPendingStop> stop;
  {
    const std::lock_guard pending(pending_stop_mutex_);
    stop.swap(pending_stop_);
  }
  if (!stop) return;
  ++counts_.alerts[{std::string(), stop->level}];
  // A store or an outbox that fails here leaves the stop in the journal.
  try {
    if (store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
      QueueMail(stop->subject, stop->body, {}, stop->raised);
    }
    if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
      const TSyslogTarget target = ReadSyslogTarget();
      // As sent: the old form carries detail lines only.
      if (!target.host.empty() && target.form != TSyslogForm::Bsd) {
        TQueuedLine line;
        line.line = stop->subject;
        line.subject = stop->subject;
        line.level = stop->level;
        line.sequence_id = NextSequenceId();
        line.raised = stop->raised;
        QueueLines({line});
      }
    }
  } catch (const std::exception&) {
  }
}

void TSmtpModule::ClearJournal() {
  const std::lock_guard journal(journal_mutex_);
  if (stop_journalled_) return;
  store_.DeletePolicySection(kJournalSection);
}

void TSmtpModule::BeginDispatchRound(bool send_backlog) {
  const TDispatchLock lock(*this);
  mail_failure_.blocked = false;
  syslog_failure_.blocked = false;
  if (send_backlog) DrainOutboxes();
}

void TSmtpModule::SetOutboxes(TOutboxes outboxes) {
  const TDispatchLock lock(*this);
  outboxes_ = std::move(outboxes);
  for (TOutbox* outbox : {outboxes_.mail, outboxes_.syslog}) {
    if (outbox == nullptr) continue;
    for (std::string& problem : outbox->TakeProblems()) {
      outbox_problems_.push_back(std::move(problem));
    }
  }
}

std::map<std::string, TSmtpModule::TBacklog> TSmtpModule::Backlogs() {
  const TDispatchLock lock(*this);
  std::map<std::string, TBacklog> backlogs;
  const auto add = [&](const char* sink, const TOutbox* outbox) {
    if (outbox == nullptr) return;
    TBacklog& backlog = backlogs[sink];
    backlog.entries = outbox->Entries().size();
    if (!outbox->Entries().empty()) backlog.oldest_raised_ms = outbox->Entries().front().raised_ms;
    if (outbox->Dropped().count > 0) backlog.oldest_raised_ms = outbox->Dropped().first_raised_ms;
    backlog.dropped_total = outbox->DroppedTotal();
    backlog.dropped_unreported = outbox->Dropped().count;
  };
  add("mail", outboxes_.mail);
  add("syslog", outboxes_.syslog);
  return backlogs;
}

TRaiseTime TSmtpModule::RaiseNow() {
  TRaiseTime raised;
  const auto utc = outboxes_.utc_now ? outboxes_.utc_now() : std::chrono::system_clock::now();
  raised.utc_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(utc.time_since_epoch()).count();
  if (outboxes_.local_now) raised.local = ToCivilTime(outboxes_.local_now());
  if (outboxes_.mail_date) raised.mail_date = outboxes_.mail_date();
  return raised;
}

std::uint64_t TSmtpModule::OutboxLimitBytes() {
  const std::int32_t megabytes = store_.ReadPolicyInteger(kGeneral, "OutboxMaxMB", 64);
  return static_cast<std::uint64_t>(std::clamp(megabytes, 1, 4096)) << 20;
}

void TSmtpModule::ExpireOutbox(TOutbox& outbox) {
  const std::int32_t days = store_.ReadPolicyInteger(kGeneral, "OutboxMaxDays", 7);
  if (days <= 0 || outbox.Entries().empty()) return;
  outbox.DropRaisedBefore(RaiseNow().utc_ms - static_cast<std::int64_t>(days) * 86400000);
}

void TSmtpModule::DrainOutboxes() {
  if (outboxes_.mail == nullptr && outboxes_.syslog == nullptr) return;
  // Read every round, so that the store shows them from the first.
  OutboxLimitBytes();
  store_.ReadPolicyInteger(kGeneral, "OutboxMaxDays", 7);
  if (outboxes_.mail != nullptr && !outboxes_.mail->Empty() &&
      store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    try {
      const TMailServer server = ReadMailServer();
      DrainMail(server, store_.ReadPolicyString(kGeneral, "Email", ""),
                TMailTransport::TDeadline::max());
    } catch (const std::exception& error) {
      mail_failure_.Note(0, error.what());
    }
  }
  if (outboxes_.syslog != nullptr && !outboxes_.syslog->Empty() &&
      store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    try {
      const TSyslogTarget target = ReadSyslogTarget();
      if (!target.host.empty()) DrainSyslog(target, SyslogFacility());
    } catch (const std::exception& error) {
      syslog_failure_.Note(0, error.what());
    }
  }
}

bool TSmtpModule::DrainMail(const TMailServer& server, const std::string& recipients,
                            TMailTransport::TDeadline deadline) {
  TOutbox* outbox = outboxes_.mail;
  if (outbox == nullptr || outbox->Empty()) return true;
  if (mail_failure_.Failed()) return false;
  if (LocalHostName.empty()) LocalHostName = host_name_source_();
  const auto addressed = [&](TMailMessage message) {
    message.from = "warderon@" + LocalHostName;
    message.sender = message.from;
    message.to = ParseAddressList(recipients);
    return message;
  };
  // Any failure of the server reaches the caller, which keeps the backlog.
  ExpireOutbox(*outbox);
  if (outbox->Dropped().count > 0) {
    TMailMessage notice;
    notice.subject = LocalHostName + ": " + DroppedNotice(outbox->Dropped(), "mail");
    notice.body_lines = {DroppedRange(outbox->Dropped())};
    mail_.SendMail(server, addressed(notice), deadline);
    outbox->ClearDropped();
  }
  while (!outbox->Entries().empty()) {
    const auto& entries = outbox->Entries();
    if (entries.size() > kDigestAbove) {
      std::vector<TQueuedMail> queued;
      std::size_t lines = 0;
      for (std::size_t i = 0; i < entries.size() && lines <= kMaxMailDetailLines; ++i) {
        auto mail = DecodeMail(entries[i]);
        if (!mail) break;
        lines += 1 + mail->body_lines.size();
        queued.push_back(std::move(*mail));
      }
      if (queued.empty()) {
        outbox->Acknowledge(1);  // an entry no release wrote: never sendable
        continue;
      }
      std::size_t count = 0;
      const TMailMessage digest = DigestMail(queued, LocalHostName, kMaxMailDetailLines, count);
      mail_.SendMail(server, addressed(digest), deadline);
      outbox->Acknowledge(count);
    } else {
      const auto mail = DecodeMail(entries.front());
      if (mail) mail_.SendMail(server, addressed(LateMail(*mail, LocalHostName)), deadline);
      outbox->Acknowledge(1);
    }
  }
  return true;
}

void TSmtpModule::QueueMail(const std::string& subject, const std::string& body,
                            const std::vector<std::string>& details, const TRaiseTime& raised) {
  if (outboxes_.mail == nullptr) return;
  if (LocalHostName.empty()) LocalHostName = host_name_source_();
  TQueuedMail mail;
  mail.subject = subject;
  mail.body_lines = MailBodyLines(body, details);
  mail.message_id = "<" + std::to_string(raised.utc_ms) + "." + std::to_string(++mail_sequence_) +
                    ".warderon@" + (LocalHostName.empty() ? "localhost" : LocalHostName) + ">";
  mail.raised = raised;
  outboxes_.mail->Add({EncodeMail(mail)}, OutboxLimitBytes());
}

void TSmtpModule::QueueLines(const std::vector<TQueuedLine>& lines) {
  if (outboxes_.syslog == nullptr || lines.empty()) return;
  std::vector<TOutboxEntry> entries;
  entries.reserve(lines.size());
  for (const TQueuedLine& line : lines) entries.push_back(EncodeLine(line));
  outboxes_.syslog->Add(std::move(entries), OutboxLimitBytes());
}

void TSmtpModule::SendQueuedLine(const TSyslogTarget& target, int facility,
                                 const TQueuedLine& line) {
  TSyslogAlert alert;
  alert.subject = line.subject;
  alert.level = line.level;
  alert.module = line.module;
  alert.sequence_id = line.sequence_id;
  alert.raised_utc =
      std::chrono::system_clock::time_point(std::chrono::milliseconds(line.raised.utc_ms));
  alert.raised_local = line.raised.local;
  syslog_.SendSyslog(target, facility, kSyslogWarning, line.line, alert);
}

bool TSmtpModule::DrainSyslog(const TSyslogTarget& target, int facility) {
  TOutbox* outbox = outboxes_.syslog;
  if (outbox == nullptr || outbox->Empty()) return true;
  if (syslog_failure_.Failed()) return false;
  // Taken in batches: one flush per batch, not per message. A crash in the
  // middle sends the batch's sent messages again, with their sequence ids.
  constexpr std::size_t kBatch = 1000;
  try {
    ExpireOutbox(*outbox);
    if (outbox->Dropped().count > 0) {
      TQueuedLine notice;
      notice.subject = DroppedNotice(outbox->Dropped(), "syslog");
      notice.line = notice.subject + " (" + DroppedRange(outbox->Dropped()) + ")";
      notice.level = kAlertMonitorFailure;
      notice.sequence_id = NextSequenceId();
      notice.raised = RaiseNow();
      try {
        SendQueuedLine(target, facility, notice);
      } catch (...) {
        syslog_.Settle(1);
        throw;
      }
      if (const auto settled = syslog_.Settle(1); settled.taken == 0) {
        throw std::runtime_error(settled.error);
      }
      outbox->ClearDropped();
    }
    // An entry leaves the outbox once the collector took it: over RELP,
    // once it answered; those it did not answer are sent again. The
    // entries sent and not yet taken are the outbox's first.
    std::size_t handed = 0;
    while (handed < outbox->Entries().size()) {
      const std::size_t batch_end = std::min(handed + kBatch, outbox->Entries().size());
      try {
        for (; handed < batch_end; ++handed) {
          if (const auto line = DecodeLine(outbox->Entries()[handed])) {
            SendQueuedLine(target, facility, *line);
          }
        }
      } catch (...) {
        outbox->Acknowledge(syslog_.Settle(handed).taken);
        throw;
      }
      const std::size_t taken = syslog_.Settle(handed, false).taken;
      outbox->Acknowledge(taken);
      handed -= taken;
    }
    const auto settled = syslog_.Settle(handed);
    outbox->Acknowledge(settled.taken);
    if (settled.taken < handed) throw std::runtime_error(settled.error);
  } catch (const std::exception& error) {
    syslog_failure_.Note(0, error.what());
    return false;
  }
  return true;
}

int TSmtpModule::SyslogFacility() {
  // The stored number is taken modulo 65536; codes above 23 become local7.
  const auto code =
      static_cast<std::uint16_t>(store_.ReadPolicyInteger(kGeneral, "SyslogFacility", 0));
  return code > kHighestFacility ? kHighestFacility : code;
}

std::uint32_t TSmtpModule::NextSequenceId() {
  syslog_sequence_ = syslog_sequence_ >= 2147483647U ? 1 : syslog_sequence_ + 1;
  return syslog_sequence_;
}

void TSmtpModule::SuppressIntegrityAlerts() {
  const TDispatchLock lock(*this);
  IntegrityAlertsSuppressed = true;
}

void TSmtpModule::ResumeIntegrityAlerts() {
  const TDispatchLock lock(*this);
  IntegrityAlertsSuppressed = false;
}

void TSmtpModule::SendAlertWithoutMail(AlertLevel level, const std::string& subject,
                                       const std::string& body,
                                       const std::vector<std::string>& details) {
  const TDispatchLock lock(*this);
  DispatchAlert(level, VisibleLine(subject), body, VisibleLines(details), false);
}

std::uint64_t TSmtpModule::TDispatchCounts::AlertTotal() const {
  std::uint64_t total = 0;
  for (const auto& [key, count] : alerts) total += count;
  return total;
}

TSmtpModule::TDispatchCounts TSmtpModule::Counts() {
  const TDispatchLock lock(*this);
  return counts_;
}

void TSmtpModule::SetObserver(TAlertObserver* observer) {
  const TDispatchLock lock(*this);
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

std::string TSmtpModule::TSinkFailure::Report(const char* sink, const char* unit,
                                              const TOutbox* outbox) const {
  const std::string head = std::string(sink) + ": " + std::to_string(lines) + " " + unit;
  if (outbox != nullptr) {
    return head + " not sent yet: " + error + " (kept in the outbox, " +
           std::to_string(outbox->Entries().size()) +
           " waiting; the next cycle sends them first, in the order raised)";
  }
  std::string text = head + " not sent: " + error;
  if (untried > 0) {
    text += " (" + std::to_string(untried) +
            " of them not tried after that; the next cycle tries "
            "again)";
  }
  return text;
}

std::string TSmtpModule::TakeDeliveryFailures() {
  const TDispatchLock lock(*this);
  std::string text;
  const auto add = [&text](const std::string& line) {
    if (!text.empty()) text += "\r\n";
    text += line;
  };
  if (syslog_failure_.lines > 0) add(syslog_failure_.Report("syslog", "lines", outboxes_.syslog));
  if (mail_failure_.lines > 0) add(mail_failure_.Report("mail", "alerts", outboxes_.mail));
  for (TOutbox* outbox : {outboxes_.mail, outboxes_.syslog}) {
    if (outbox == nullptr) continue;
    for (std::string& problem : outbox->TakeProblems()) outbox_problems_.push_back(problem);
  }
  for (const std::string& problem : outbox_problems_) add(problem);
  outbox_problems_.clear();
  counts_.syslog_not_sent += syslog_failure_.lines;
  counts_.mail_not_sent += mail_failure_.lines;
  // The counts start again; a sink that failed stays given up on for the
  // rest of the round, so the report itself costs it no second time-out.
  for (TSinkFailure* failure : {&syslog_failure_, &mail_failure_}) {
    failure->lines = 0;
    failure->untried = 0;
    if (!failure->blocked) failure->error.clear();
  }
  return text;
}

void TSmtpModule::DispatchAlert(AlertLevel level, const std::string& subject,
                                const std::string& body, const std::vector<std::string>& details,
                                bool mail, TMailTransport::TDeadline deadline) {
  ++counts_.alerts[{module_source_ ? module_source_() : std::string(), level}];
  if (observer_ != nullptr) observer_->OnAlert(subject, body, details);
  const TRaiseTime raised = RaiseNow();
  // Neither sink may keep the alert from the journal or from the other
  // sink, nor fail the module that raised it: a failure is noted for the
  // cycle's report, and what the sink did not take waits in its outbox.
  if (mail && store_.ReadPolicyBool(kGeneral, "EmailEnabled", false)) {
    // The journal's shape follows the switch, not the server's health.
    JournalMailLines(details);
    if (mail_failure_.Failed()) {
      mail_failure_.Skip(1);
      QueueMail(subject, body, details, raised);
    } else {
      try {
        SendAlertMail(subject, body, details, deadline, raised);
      } catch (const std::exception& error) {
        mail_failure_.Note(1, error.what());
        QueueMail(subject, body, details, raised);
      }
    }
  }
  if (store_.ReadPolicyBool(kGeneral, "SyslogEnabled", false)) {
    SendAlertSyslog(level, subject, details, raised);
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

std::vector<std::string> TSmtpModule::MailBodyLines(const std::string& body,
                                                    const std::vector<std::string>& details) {
  std::vector<std::string> lines;
  lines.reserve(std::min(details.size(), kMaxMailDetailLines) + 2);
  lines.push_back(body);
  const std::size_t shown = std::min(details.size(), kMaxMailDetailLines);
  lines.insert(lines.end(), details.begin(), details.begin() + static_cast<std::ptrdiff_t>(shown));
  if (details.size() > kMaxMailDetailLines) lines.emplace_back("... additional items deleted");
  return lines;
}

void TSmtpModule::SendAlertMail(const std::string& subject, const std::string& body,
                                const std::vector<std::string>& details,
                                TMailTransport::TDeadline deadline, const TRaiseTime& raised) {
  if (LocalHostName.empty()) LocalHostName = host_name_source_();
  // Any failure (a store read, the server) reaches the caller, which notes
  // it for the cycle's report and keeps the alert in the outbox.
  const TMailServer server = ReadMailServer();
  const std::string recipients = store_.ReadPolicyString(kGeneral, "Email", "");
  // The backlog goes first: nothing newer overtakes it.
  DrainMail(server, recipients, deadline);
  message_.from = "warderon@" + LocalHostName;
  message_.sender = message_.from;
  message_.to = ParseAddressList(recipients);
  message_.subject = LocalHostName + ": " + subject;
  message_.body_lines = MailBodyLines(body, details);
  message_.date = raised.mail_date;
  message_.message_id.clear();
  mail_.SendMail(server, message_, deadline);
}

TSyslogTarget TSmtpModule::ReadSyslogTarget() {
  TSyslogTarget target(store_.ReadPolicyString(kGeneral, "Syslog", ""));
  const std::int32_t port = store_.ReadPolicyInteger(kGeneral, "SyslogPort", 0);
  target.port = port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0;
  const auto transport =
      store_.ReadPolicyChoice(kGeneral, "SyslogTransport", {"udp", "tcp", "tls", "relp"}, 0,
                              "no syslog message is sent until it is one of them");
  if (!transport && !target.host.empty()) {
    throw std::runtime_error("SyslogTransport is not a known choice; nothing was sent");
  }
  constexpr TSyslogTransport kTransports[] = {TSyslogTransport::Udp, TSyslogTransport::Tcp,
                                              TSyslogTransport::Tls, TSyslogTransport::Relp};
  target.transport = kTransports[transport.value_or(0)];
  const auto form = store_.ReadPolicyChoice(kGeneral, "SyslogFormat", {"bsd", "rfc3164", "rfc5424"},
                                            0, "the default bsd is used");
  constexpr TSyslogForm kForms[] = {TSyslogForm::Bsd, TSyslogForm::Rfc3164, TSyslogForm::Rfc5424};
  target.form = kForms[form.value_or(0)];
  target.ca_file = store_.ReadPolicyString(kGeneral, "SyslogCAFile", "");
  target.relp_tls = store_.ReadPolicyBool(kGeneral, "SyslogRelpTls", false);
  target.cert_file = store_.ReadPolicyString(kGeneral, "SyslogCertFile", "");
  target.key_file = store_.ReadPolicyString(kGeneral, "SyslogKeyFile", "");
  return target;
}

void TSmtpModule::SendAlertSyslog(AlertLevel level, const std::string& subject,
                                  const std::vector<std::string>& lines, const TRaiseTime& raised) {
  const std::size_t count = std::max<std::size_t>(lines.size(), 1);
  TSyslogTarget target;
  bool target_known = true;
  try {
    target = ReadSyslogTarget();
  } catch (const std::exception& error) {
    syslog_failure_.Note(count, error.what());
    target_known = false;
  }
  if (target_known && target.host.empty()) return;
  // The old form sends detail lines only; the tagged and structured forms,
  // which collectors read as events, send an alert without details as one
  // message with its subject.
  std::vector<std::string> subject_only;
  if (lines.empty() && (!target_known || target.form != TSyslogForm::Bsd)) {
    subject_only.push_back(subject);
  }
  const std::vector<std::string>& details = lines.empty() ? subject_only : lines;
  if (details.empty()) return;
  std::vector<TQueuedLine> messages(details.size());
  const std::string module = module_source_ ? module_source_() : std::string();
  for (std::size_t i = 0; i < details.size(); ++i) {
    messages[i].line = details[i];
    messages[i].subject = subject;
    messages[i].module = module;
    messages[i].level = level;
    messages[i].sequence_id = NextSequenceId();
    messages[i].raised = raised;
  }
  std::size_t sent = 0;
  const int facility = SyslogFacility();
  // A sink given up on in this round, or a backlog it did not take: the
  // new lines wait behind it.
  const bool sendable = target_known && !syslog_failure_.Failed() && DrainSyslog(target, facility);
  if (target_known && !sendable) syslog_failure_.Skip(details.size());
  if (sendable) {
    std::string error;
    try {
      for (; sent < messages.size(); ++sent) SendQueuedLine(target, facility, messages[sent]);
    } catch (const std::exception& failure) {
      // A host that cannot be resolved fails every line alike: one attempt
      // per alert, the rest counted as not sent with it.
      error = failure.what();
    }
    const auto settled = syslog_.Settle(sent);
    if (error.empty()) error = settled.error;
    sent = settled.taken;
    if (sent < messages.size()) syslog_failure_.Note(messages.size() - sent, error);
  }
  if (sent < messages.size()) {
    QueueLines(std::vector<TQueuedLine>(messages.begin() + static_cast<std::ptrdiff_t>(sent),
                                        messages.end()));
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
