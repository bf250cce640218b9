// BSD syslog (RFC 3164) over UDP: one datagram per message, to port 514,
// without waiting for anything in return.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "alerts/delivery.h"
#include "platform/clock.h"

namespace warderon {

// "<PRI>Mmm dd hh:mm:ss host message", PRI = facility * 8 + severity, the
// day of the month padded with a space, cut to 1024 bytes (never inside a
// UTF-8 sequence).
std::string FormatSyslogDatagram(int facility, int severity, const TCivilTime& local_time,
                                 const std::string& host_name, const std::string& message);

class TUdpSyslogSender final : public TSyslogSender {
 public:
  static constexpr std::uint16_t kPort = 514;
  static constexpr std::size_t kMaxDatagram = 1024;
  // The host's name must be found within this (a name server that never
  // answers), else the datagram fails.
  static constexpr std::chrono::milliseconds kResolveTimeout{5000};

  TUdpSyslogSender(TClock& clock, std::function<std::string()> host_name,
                   std::uint16_t port = kPort);

  // A host that cannot be resolved, or a socket error, raises TSocketError.
  void SendSyslog(const std::string& host, int facility, int severity,
                  const std::string& message) override;

 private:
  TClock& clock_;
  std::function<std::string()> host_name_source_;
  std::string host_name_;  // fetched on first use; fetched again while empty
  std::uint16_t port_;
};

}  // namespace warderon
