#include "alerts/syslog_sender.h"

#include <cstdio>

#include "platform/socket.h"

namespace warderon {

std::string FormatSyslogDatagram(int facility, int severity, const TCivilTime& local_time,
                                 const std::string& host_name, const std::string& message) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char header[64];
  std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d ", facility * 8 + severity,
                kMonths[(local_time.month + 11) % 12], local_time.day, local_time.hour,
                local_time.minute, local_time.second);
  std::string datagram = header + host_name + " " + message;
  if (datagram.size() > TUdpSyslogSender::kMaxDatagram) {
    std::size_t cut = TUdpSyslogSender::kMaxDatagram;
    while (cut > 0 && (static_cast<unsigned char>(datagram[cut]) & 0xC0) == 0x80) --cut;
    datagram.resize(cut);
  }
  return datagram;
}

TUdpSyslogSender::TUdpSyslogSender(TClock& clock, std::function<std::string()> host_name,
                                   std::uint16_t port)
    : clock_(clock), host_name_source_(std::move(host_name)), port_(port) {}

void TUdpSyslogSender::SendSyslog(const std::string& host, int facility, int severity,
                                  const std::string& message) {
  if (host_name_.empty()) host_name_ = host_name_source_();
  SendUdpDatagram(host, port_,
                  FormatSyslogDatagram(facility, severity, ToCivilTime(clock_.LocalNow()),
                                       host_name_.empty() ? "-" : host_name_, message),
                  std::chrono::steady_clock::now() + kResolveTimeout);
}

}  // namespace warderon
