// The two network sinks of the dispatcher, as interfaces: the SMTP client
// and the syslog sender plug in behind them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "alerts/mail_message.h"
#include "platform/time/date_time.h"

namespace warderon {

// How the connection to the mail server is protected.
enum class TMailSecurity {
  None,                 // plain SMTP
  StartTlsWhenOffered,  // STARTTLS when the server offers it, plain otherwise
  StartTlsRequired,     // STARTTLS, or no mail
  Tls,                  // TLS from the first byte (port 465)
};

struct TMailServer {
  TMailServer(std::string name = {}) : host(std::move(name)) {}  // NOLINT: a host alone is a server
  std::string host;
  std::uint16_t port = 0;  // 0: the transport's own default
  TMailSecurity security = TMailSecurity::None;
  std::string user;  // empty: no authentication
  std::string password;
  std::string ca_file;  // empty: the system's trust store
};

class TMailTransport {
 public:
  using TDeadline = std::chrono::steady_clock::time_point;
  virtual ~TMailTransport() = default;
  // Connects to the server, sends the message and disconnects, all before
  // the deadline (and within the transport's own bounds). Raises an
  // exception carrying a message on any failure.
  virtual void SendMail(const TMailServer& server, const TMailMessage& message,
                        TDeadline deadline) = 0;
};

// Relp: the Reliable Event Logging Protocol, every message answered by the
// collector; over TLS when relp_tls is set.
enum class TSyslogTransport { Udp, Tcp, Tls, Relp };

// How a message is written: the BSD form of old (no tag), RFC 3164 with the
// tag "warderon[PID]:", or RFC 5424 with the alert as structured data.
enum class TSyslogForm { Bsd, Rfc3164, Rfc5424 };

struct TSyslogTarget {
  TSyslogTarget(std::string name = {})
      : host(std::move(name)) {}  // NOLINT: a host alone is a target
  std::string host;
  std::uint16_t port = 0;  // 0: 514 (UDP, TCP), 6514 (TLS) or 2514 (RELP)
  TSyslogTransport transport = TSyslogTransport::Udp;
  TSyslogForm form = TSyslogForm::Bsd;
  std::string ca_file;  // TLS: empty means the system's trust store
  bool relp_tls = false;
  // TLS: the watchdog's own certificate and key (PEM), for a collector
  // that asks for one; empty: none.
  std::string cert_file;
  std::string key_file;
};

// What RFC 5424 carries as structured data.
struct TSyslogAlert {
  std::string subject;
  int level = 0;
  std::string module;  // the cycle step that raised it, if any
  // RFC 5424 section 7: the message's place in what this process sent
  // (1 to 2147483647, then 1 again; 0: none), and the sending software's
  // version, so a collector sees a lost message as a gap and a restart as
  // a new start at 1.
  std::uint32_t sequence_id = 0;
  std::string software_version;
  // When the alert was raised, for a message sent late from the outbox:
  // the messages carry this time, not the time they were sent.
  std::optional<std::chrono::system_clock::time_point> raised_utc;
  std::optional<TCivilTime> raised_local;
};

class TSyslogSender {
 public:
  virtual ~TSyslogSender() = default;
  // Sends one message with the facility (0 to 23) and severity (0 to 7).
  // An alert without a sequence id takes the sender's next one; one with an
  // id (a message sent again) keeps it. Raises an exception carrying a
  // message on any failure.
  virtual void SendSyslog(const TSyslogTarget& target, int facility, int severity,
                          const std::string& message, const TSyslogAlert& alert) = 0;

  struct TSettlement {
    std::size_t taken = 0;  // counted from the first message since the last settlement
    std::string error;      // why the rest was not taken; empty when all was
  };
  // How many of the messages handed over and not yet settled (handed_over,
  // failed ones included) the collector has taken, oldest first. A
  // transport that acknowledges waits here, within its bound, for the
  // answers, and the rest must be sent again; without wait it tells what
  // was answered so far, and the rest stays handed over. Others took every
  // message SendSyslog returned from.
  virtual TSettlement Settle(std::size_t handed_over, bool wait = true) {
    (void)wait;
    return {handed_over, {}};
  }
};

// Receives a copy of every dispatched alert (the foreground runner prints
// them). Called under the dispatch lock; must not raise alerts itself.
class TAlertObserver {
 public:
  virtual ~TAlertObserver() = default;
  virtual void OnAlert(const std::string& subject, const std::string& body,
                       const std::vector<std::string>& details) = 0;
};

}  // namespace warderon
