// Syslog delivery: UDP datagrams (one per message, to port 514, nothing
// awaited), or a TCP or TLS stream (port 514 or 6514) with octet-counted
// framing (RFC 6587) kept open across alerts, or a RELP session (port 2514,
// plain or TLS) whose collector answers every message. A stream that broke
// is replaced at the next message: the collector's restart loses nothing
// sent after it is back (over TCP and TLS, what sat unread in the broken
// stream is gone; over RELP it is sent again). Every step is bounded in
// time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "alerts/delivery.h"
#include "alerts/relp_session.h"
#include "platform/net/socket.h"
#include "platform/time/clock.h"

namespace warderon {

// "<PRI>Mmm dd hh:mm:ss host message", PRI = facility * 8 + severity, the
// day of the month padded with a space, cut to 1024 bytes (never inside a
// UTF-8 sequence).
std::string FormatSyslogDatagram(int facility, int severity, const TCivilTime& local_time,
                                 const std::string& host_name, const std::string& message);

// One message in the chosen form (the BSD form as above; RFC 3164 adds the
// tag "warderon[PID]: "; RFC 5424 has the UTC time, the host, "warderon",
// the process id, then as structured data the sequence id and origin (when
// the alert has a sequence id) and the alert's subject, level and module),
// not cut for a stream.
std::string FormatSyslogMessage(TSyslogForm form, int facility, int severity,
                                const TCivilTime& local_time,
                                std::chrono::system_clock::time_point utc_now,
                                const std::string& host_name, std::uint32_t pid,
                                const std::string& message, const TSyslogAlert& alert);

class TSyslogClient final : public TSyslogSender {
 public:
  static constexpr std::uint16_t kPort = 514;
  static constexpr std::uint16_t kTlsPort = 6514;
  static constexpr std::uint16_t kRelpPort = 2514;
  static constexpr std::size_t kMaxDatagram = 1024;
  // The host's name must be found within this (a name server that never
  // answers), else the message fails; a connection, its TLS handshake and
  // each message are bounded alike.
  static constexpr std::chrono::milliseconds kResolveTimeout{5000};
  static constexpr std::chrono::milliseconds kSendTimeout{10000};

  static constexpr std::uint32_t kMaxSequenceId = 2147483647;

  TSyslogClient(TClock& clock, std::function<std::string()> host_name, std::uint32_t pid,
                std::uint16_t udp_port = kPort, std::string software_version = {});
  ~TSyslogClient() override;
  TSyslogClient(const TSyslogClient&) = delete;
  TSyslogClient& operator=(const TSyslogClient&) = delete;

  // A host that cannot be resolved or reached, or a socket or TLS error,
  // raises TSocketError.
  void SendSyslog(const TSyslogTarget& target, int facility, int severity,
                  const std::string& message, const TSyslogAlert& alert) override;

  TSettlement Settle(std::size_t handed_over, bool wait = true) override;

 private:
  std::uint16_t PortOf(const TSyslogTarget& target) const;
  std::unique_ptr<TTcpConnection> Connect(const TSyslogTarget& target, bool tls, TDeadline start);
  void SendRelp(const TSyslogTarget& target, const std::string& key, const std::string& text,
                TDeadline start);
  void DropRelpSession();

  TClock& clock_;
  std::function<std::string()> host_name_source_;
  std::string host_name_;  // fetched on first use; fetched again while empty
  std::uint32_t pid_;
  std::uint16_t udp_port_;
  std::string software_version_;
  std::uint32_t last_sequence_id_ = 0;
  // The open stream and what it was opened for.
  std::unique_ptr<TTcpConnection> stream_;
  std::string stream_key_;
  // The RELP session and what it was opened for; what sessions that ended
  // since the last settlement had taken; whether RELP carried anything
  // since then.
  std::unique_ptr<TRelpSession> relp_;
  std::string relp_key_;
  std::size_t relp_taken_before_ = 0;
  bool relp_unsettled_ = false;
};

}  // namespace warderon
