#include "alerts/syslog_sender.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/net/tls.h"

namespace warderon {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "<PRI>Mmm dd hh:mm:ss "
std::string BsdHeader(int facility, int severity, const TCivilTime& local_time) {
  char header[64];
  std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d ", facility * 8 + severity,
                kMonths[(local_time.month + 11) % 12], local_time.day, local_time.hour,
                local_time.minute, local_time.second);
  return header;
}

// A structured-data parameter value: '"', '\' and ']' escaped.
std::string ParameterValue(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '"' || c == '\\' || c == ']') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// A header field of RFC 5424: printable ASCII without blanks, at most
// max_length long, "-" when empty.
std::string HeaderField(const std::string& text, std::size_t max_length) {
  std::string field;
  for (const char c : text) {
    if (c > ' ' && c < 127 && field.size() < max_length) field += c;
  }
  return field.empty() ? "-" : field;
}

std::string TransportName(TSyslogTransport transport) {
  switch (transport) {
    case TSyslogTransport::Udp:
      return "udp";
    case TSyslogTransport::Tcp:
      return "tcp";
    case TSyslogTransport::Tls:
      return "tls";
    case TSyslogTransport::Relp:
      return "relp";
  }
  return "?";
}

}  // namespace

std::string FormatSyslogDatagram(int facility, int severity, const TCivilTime& local_time,
                                 const std::string& host_name, const std::string& message) {
  std::string datagram = BsdHeader(facility, severity, local_time) + host_name + " " + message;
  if (datagram.size() > TSyslogClient::kMaxDatagram) {
    std::size_t cut = TSyslogClient::kMaxDatagram;
    while (cut > 0 && (static_cast<unsigned char>(datagram[cut]) & 0xC0) == 0x80) --cut;
    datagram.resize(cut);
  }
  return datagram;
}

std::string FormatSyslogMessage(TSyslogForm form, int facility, int severity,
                                const TCivilTime& local_time,
                                std::chrono::system_clock::time_point utc_now,
                                const std::string& host_name, std::uint32_t pid,
                                const std::string& message, const TSyslogAlert& alert) {
  switch (form) {
    case TSyslogForm::Bsd:
      return BsdHeader(facility, severity, local_time) + host_name + " " + message;
    case TSyslogForm::Rfc3164:
      return BsdHeader(facility, severity, local_time) + host_name + " warderon[" +
             std::to_string(pid) + "]: " + message;
    case TSyslogForm::Rfc5424: {
      const auto seconds = std::chrono::system_clock::to_time_t(utc_now);
      const auto millis =
          std::chrono::duration_cast<std::chrono::milliseconds>(utc_now.time_since_epoch())
              .count() %
          1000;
      std::tm utc{};
#ifdef _WIN32
      gmtime_s(&utc, &seconds);
#else
      gmtime_r(&seconds, &utc);
#endif
      char stamp[96];
      std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                    utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                    static_cast<int>(millis));
      std::string data;
      if (alert.sequence_id != 0) {
        data = "[meta sequenceId=\"" + std::to_string(alert.sequence_id) +
               "\"][origin software=\"warderon\" swVersion=\"" +
               ParameterValue(alert.software_version) + "\"]";
      }
      data += "[warderon@32473 subject=\"" + ParameterValue(alert.subject) + "\" level=\"" +
              std::to_string(alert.level) + "\"";
      if (!alert.module.empty()) data += " module=\"" + ParameterValue(alert.module) + "\"";
      data += "]";
      return "<" + std::to_string(facility * 8 + severity) + ">1 " + stamp + " " +
             HeaderField(host_name, 255) + " warderon " + std::to_string(pid) + " - " + data + " " +
             message;
    }
  }
  return message;
}

TSyslogClient::TSyslogClient(TClock& clock, std::function<std::string()> host_name,
                             std::uint32_t pid, std::uint16_t udp_port,
                             std::string software_version)
    : clock_(clock),
      host_name_source_(std::move(host_name)),
      pid_(pid),
      udp_port_(udp_port),
      software_version_(std::move(software_version)) {}

std::uint16_t TSyslogClient::PortOf(const TSyslogTarget& target) const {
  if (target.port != 0) return target.port;
  switch (target.transport) {
    case TSyslogTransport::Udp:
      return udp_port_;
    case TSyslogTransport::Tls:
      return kTlsPort;
    case TSyslogTransport::Relp:
      return kRelpPort;
    case TSyslogTransport::Tcp:
      break;
  }
  return kPort;
}

TSyslogClient::~TSyslogClient() {
  if (relp_) relp_->Close(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

std::unique_ptr<TTcpConnection> TSyslogClient::Connect(const TSyslogTarget& target, bool tls,
                                                       TDeadline start) {
  auto connection = ConnectTcp(
      target.host, PortOf(target), start + kResolveTimeout,
      target.transport == TSyslogTransport::Relp ? TTcpWrites::Immediate : TTcpWrites::Coalesced);
  if (!tls) return connection;
  return StartTlsClient(std::move(connection),
                        {target.host, target.ca_file, target.cert_file, target.key_file},
                        start + kSendTimeout);
}

void TSyslogClient::DropRelpSession() {
  if (!relp_) return;
  relp_taken_before_ += relp_->TakeAnswered();
  relp_.reset();
}

void TSyslogClient::SendRelp(const TSyslogTarget& target, const std::string& key,
                             const std::string& text, TDeadline start) {
  relp_unsettled_ = true;
  if (relp_ && (relp_key_ != key || !relp_->Usable())) DropRelpSession();
  // A session that waits for nothing may have been closed by the collector
  // meanwhile (a restart): it is opened again once, without a failure.
  for (int attempt = 0;; ++attempt) {
    const bool fresh = !relp_;
    const bool idle = fresh || relp_->Outstanding() == 0;
    try {
      if (fresh) {
        relp_ = std::make_unique<TRelpSession>(
            Connect(target, target.relp_tls || !target.ca_file.empty(), start),
            start + kSendTimeout);
        relp_key_ = key;
      }
      relp_->Send(text, start + kSendTimeout);
      return;
    } catch (const TSocketError&) {
      DropRelpSession();
      if (fresh || !idle || attempt > 0) throw;
    }
  }
}

TSyslogSender::TSettlement TSyslogClient::Settle(std::size_t handed_over, bool wait) {
  if (!relp_unsettled_) return {handed_over, {}};
  TSettlement settlement;
  if (!wait) {
    settlement.taken = std::min(
        handed_over, std::exchange(relp_taken_before_, 0) + (relp_ ? relp_->TakeAnswered() : 0));
    return settlement;
  }
  relp_unsettled_ = false;
  if (relp_) {
    try {
      relp_->AwaitAnswers(std::chrono::steady_clock::now() + kSendTimeout);
    } catch (const TSocketError& error) {
      settlement.error = error.what();
      DropRelpSession();
    }
  }
  settlement.taken = std::min(
      handed_over, std::exchange(relp_taken_before_, 0) + (relp_ ? relp_->TakeAnswered() : 0));
  if (settlement.taken < handed_over && settlement.error.empty()) {
    settlement.error = "the collector did not answer every message";
  }
  return settlement;
}

void TSyslogClient::SendSyslog(const TSyslogTarget& target, int facility, int severity,
                               const std::string& message, const TSyslogAlert& given) {
  // Every message takes the next number, sent or not: a collector then
  // sees what it lost as a gap.
  TSyslogAlert alert = given;
  if (alert.sequence_id == 0) {
    last_sequence_id_ = last_sequence_id_ >= kMaxSequenceId ? 1 : last_sequence_id_ + 1;
    alert.sequence_id = last_sequence_id_;
  }
  alert.software_version = software_version_;
  if (host_name_.empty()) host_name_ = host_name_source_();
  const std::string host_name = host_name_.empty() ? "-" : host_name_;
  const std::uint16_t port = PortOf(target);
  const auto now = std::chrono::steady_clock::now();
  const TCivilTime local_time = given.raised_local.value_or(ToCivilTime(clock_.LocalNow()));
  const auto utc_time = given.raised_utc.value_or(std::chrono::system_clock::now());
  if (target.transport == TSyslogTransport::Udp) {
    const std::string datagram =
        target.form == TSyslogForm::Bsd
            ? FormatSyslogDatagram(facility, severity, local_time, host_name, message)
            : FormatSyslogMessage(target.form, facility, severity, local_time, utc_time, host_name,
                                  pid_, message, alert)
                  .substr(0, kMaxDatagram);
    SendUdpDatagram(target.host, port, datagram, now + kResolveTimeout);
    return;
  }
  // One stream per collector; a collector that closed it (a restart) or
  // broke it is connected afresh before this message goes out.
  const std::string key = TransportName(target.transport) + "://" + target.host + ":" +
                          std::to_string(port) + "|" + target.ca_file + "|" +
                          (target.relp_tls ? "tls" : "") + "|" + target.cert_file + "|" +
                          target.key_file;
  if (target.transport == TSyslogTransport::Relp) {
    SendRelp(target, key,
             FormatSyslogMessage(target.form, facility, severity, local_time, utc_time, host_name,
                                 pid_, message, alert),
             now);
    return;
  }
  if (stream_ && (stream_key_ != key || stream_->ClosedOrSpoken())) stream_.reset();
  try {
    if (!stream_) {
      stream_ = Connect(target, target.transport == TSyslogTransport::Tls, now);
      stream_key_ = key;
    }
    const std::string text = FormatSyslogMessage(target.form, facility, severity, local_time,
                                                 utc_time, host_name, pid_, message, alert);
    stream_->SendAll(std::to_string(text.size()) + " " + text, now + kSendTimeout);
  } catch (...) {
    stream_.reset();  // the next message connects again
    throw;
  }
}

}  // namespace warderon
