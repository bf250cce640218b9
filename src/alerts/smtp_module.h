// The alert dispatcher: delivers each alert to e-mail, syslog and the
// journal (the numbered values of section "Logs"), deciding anew for every
// alert from the settings in section "general".
//
// Thread safety: one dispatch runs at a time under one lock, so the stop
// handler's alert and an alert of a running cycle never interleave.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alerts/delivery.h"
#include "alerts/outbox.h"
#include "alerts/outbox_records.h"
#include "core/alert_sender.h"
#include "policy/policy_store.h"

namespace warderon {

class TSmtpModule final : public TAlertSender {
 public:
  // The e-mail body holds at most this many detail lines.
  static constexpr std::size_t kMaxMailDetailLines = 5001;

  TSmtpModule(TPolicyStore& store, TMailTransport& mail, TSyslogSender& syslog,
              std::function<std::string()> host_name_source);

  void SendAlert(AlertLevel level, const std::string& subject, const std::string& body) override;
  void SendAlertWithDetails(AlertLevel level, const std::string& subject, const std::string& body,
                            const std::vector<std::string>& details) override;

  // The stop alert, bounded: journalled at once, then mailed and sent to
  // syslog only if the dispatch in progress (a mail to a slow server) ends in
  // time, as a dispatch round of its own; otherwise that dispatch queues it
  // in the outboxes as it ends. Returns within the bound what kept it from a
  // sink that is switched on (empty: every such sink took it). Any thread.
  std::string SendStopAlert(AlertLevel level, const std::string& subject, const std::string& body,
                            std::chrono::milliseconds bound);

  // Empties the journal at the top of a cycle, unless the stop alert was
  // journalled already: that entry must outlive the process.
  void ClearJournal();

  void SuppressIntegrityAlerts();
  void ResumeIntegrityAlerts();

  // Not owned; must outlive the dispatcher or be removed with nullptr.
  void SetObserver(TAlertObserver* observer);

  // An alert for syslog and the journal only, never mailed (the heartbeat,
  // unless mail is asked for).
  void SendAlertWithoutMail(AlertLevel level, const std::string& subject, const std::string& body,
                            const std::vector<std::string>& details);

  // What the process dispatched so far, for the health report: alerts by
  // the cycle step that raised them ("" outside a module) and level, and
  // what the sinks could not take (as the end-of-cycle reports counted it).
  struct TDispatchCounts {
    std::map<std::pair<std::string, int>, std::uint64_t> alerts;
    std::uint64_t mail_not_sent = 0;    // alerts
    std::uint64_t syslog_not_sent = 0;  // lines
    std::uint64_t AlertTotal() const;
  };
  TDispatchCounts Counts();

  // Where the alert's module comes from (the cycle's step label): for the
  // structured syslog form. Set by the composition; none by default.
  void SetModuleSource(std::function<std::string()> source) { module_source_ = std::move(source); }

  // What could not be delivered since the last call (syslog lines not sent,
  // mail settings that could not be read), as one text for an alert; empty
  // when everything went out. Delivery failures never reach the caller of
  // an alert: the cycle asks for them once, after its modules. A sink that
  // failed is not tried again in the same dispatch round.
  std::string TakeDeliveryFailures();

  // A new dispatch round (start-up, each cycle, the heartbeat): a sink that
  // failed in an earlier round is tried again, its backlog first. What it
  // did not take stays counted for the next TakeDeliveryFailures. Without
  // send_backlog the backlog waits for the round's first alert (the
  // heartbeat's round: a dead sink costs one time-out per cycle, not two).
  void BeginDispatchRound(bool send_backlog = true);

  // Durable outboxes for what a sink cannot take (not owned; null: none,
  // and such alerts are lost as counted). With them nothing is lost while
  // a relay or collector is down: the next round sends the backlog first,
  // in the order raised, with the raise times. The clocks give the raise
  // times: local, UTC, and the mail Date.
  struct TOutboxes {
    TOutbox* mail = nullptr;
    TOutbox* syslog = nullptr;
    std::function<TDateTime()> local_now;
    std::function<std::chrono::system_clock::time_point()> utc_now = std::chrono::system_clock::now;
    std::function<std::string()> mail_date;
  };
  void SetOutboxes(TOutboxes outboxes);
  struct TBacklog {
    std::uint64_t entries = 0;
    std::int64_t oldest_raised_ms = 0;  // 0: none
    std::uint64_t dropped_total = 0;
    std::uint64_t dropped_unreported = 0;  // since the sink last took a notice
  };
  // Per sink ("mail", "syslog"), for the metrics, the heartbeat and -status.
  std::map<std::string, TBacklog> Backlogs();

 private:
  void DispatchAlert(AlertLevel level, const std::string& subject, const std::string& body,
                     const std::vector<std::string>& details, bool mail = true,
                     TMailTransport::TDeadline deadline = TMailTransport::TDeadline::max());
  TRaiseTime RaiseNow();
  // The backlogs, oldest first; false when the sink failed (a backlog is left).
  bool DrainMail(const TMailServer& server, const std::string& recipients,
                 TMailTransport::TDeadline deadline);
  bool DrainSyslog(const TSyslogTarget& target, int facility);
  void DrainOutboxes();
  void QueueMail(const std::string& subject, const std::string& body,
                 const std::vector<std::string>& details, const TRaiseTime& raised);
  void QueueLines(const std::vector<TQueuedLine>& lines);
  std::uint64_t OutboxLimitBytes();
  void ExpireOutbox(TOutbox& outbox);
  void SendQueuedLine(const TSyslogTarget& target, int facility, const TQueuedLine& line);
  int SyslogFacility();
  std::uint32_t NextSequenceId();
  // The mail server settings: host, port, security, user, password, CA.
  TMailServer ReadMailServer();
  void SendAlertMail(const std::string& subject, const std::string& body,
                     const std::vector<std::string>& details, TMailTransport::TDeadline deadline,
                     const TRaiseTime& raised);
  // The body lines a mail carries: the body, at most 5001 details, the cut.
  static std::vector<std::string> MailBodyLines(const std::string& body,
                                                const std::vector<std::string>& details);
  // The syslog settings: host, port, transport, form, CA.
  TSyslogTarget ReadSyslogTarget();
  void SendAlertSyslog(AlertLevel level, const std::string& subject,
                       const std::vector<std::string>& lines, const TRaiseTime& raised);
  void WriteJournal(const std::string& text);
  // The lines the mail of an alert carries, journalled before it is sent.
  void JournalMailLines(const std::vector<std::string>& details);

  TPolicyStore& store_;
  TMailTransport& mail_;
  TSyslogSender& syslog_;
  std::function<std::string()> host_name_source_;
  std::function<std::string()> module_source_;
  TAlertObserver* observer_ = nullptr;

  std::timed_mutex dispatch_mutex_;
  // The dispatch lock; whoever lets it go first queues a stop alert that
  // could not wait for it.
  class TDispatchLock {
   public:
    explicit TDispatchLock(TSmtpModule& module) : module_(module), lock_(module.dispatch_mutex_) {}
    ~TDispatchLock();
    TDispatchLock(const TDispatchLock&) = delete;
    TDispatchLock& operator=(const TDispatchLock&) = delete;

   private:
    TSmtpModule& module_;
    std::lock_guard<std::timed_mutex> lock_;
  };
  struct TPendingStop {
    AlertLevel level = 0;
    std::string subject;
    std::string body;
    TRaiseTime raised;
  };
  // Under the dispatch lock.
  void QueuePendingStop();
  std::mutex pending_stop_mutex_;
  std::optional<TPendingStop> pending_stop_;
  TMailMessage message_;  // reused for every alert
  bool IntegrityAlertsSuppressed = false;
  // Taken outside the dispatch lock by the stop alert's journal entry.
  std::atomic<std::int32_t> JournalCounter{0};
  // Orders the stop's journal entry against the journal's emptying.
  std::mutex journal_mutex_;
  bool stop_journalled_ = false;
  std::string LocalHostName;
  // Undelivered since the last TakeDeliveryFailures: per sink, the lines
  // lost and the first error. After a failure the sink is not tried again
  // in the same dispatch round: a peer that stalls or refuses costs one
  // time-out per round, not one per alert.
  struct TSinkFailure {
    std::size_t lines = 0;
    std::size_t untried = 0;  // lines not attempted after the failure
    std::string error;
    bool blocked = false;  // failed in this dispatch round
    bool Failed() const { return blocked; }
    void Note(std::size_t lost, const std::string& what);
    void Skip(std::size_t lost);
    std::string Report(const char* sink, const char* unit, const TOutbox* outbox) const;
  };
  TSinkFailure syslog_failure_;
  TSinkFailure mail_failure_;
  TDispatchCounts counts_;
  TOutboxes outboxes_;
  std::uint32_t syslog_sequence_ = 0;
  std::uint64_t mail_sequence_ = 0;
  std::vector<std::string> outbox_problems_;
};

}  // namespace warderon
