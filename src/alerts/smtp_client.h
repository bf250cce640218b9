// The SMTP client (RFC 5321) that carries alert e-mails: EHLO with a HELO
// fallback; STARTTLS (RFC 3207) or TLS from the first byte as the server
// settings ask; AUTH PLAIN or LOGIN (RFC 4954) only ever over TLS; 8BITMIME
// (RFC 6152) when the server offers it, quoted-printable otherwise.
//
// Every exchange is bounded in time, so a silent or dripping server cannot
// hold the monitoring cycle: see TSmtpTimeouts. A failure ends the exchange
// with an exception; the connection is closed however the exchange ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "alerts/delivery.h"

namespace warderon {

struct TSmtpTimeouts {
  std::chrono::milliseconds connect{5000};    // to open the connection
  std::chrono::milliseconds reply{10000};     // for each reply of the server
  std::chrono::milliseconds exchange{30000};  // for the whole mail, first to last byte
};

class TSmtpClient final : public TMailTransport {
 public:
  static constexpr std::uint16_t kPort = 25;
  static constexpr std::uint16_t kTlsPort = 465;

  // host_name gives the EHLO name; mail_date the Date header.
  TSmtpClient(std::function<std::string()> host_name, std::function<std::string()> mail_date,
              std::uint16_t port = kPort, TSmtpTimeouts timeouts = {});

  void SendMail(const TMailServer& server, const TMailMessage& message,
                TDeadline deadline) override;

 private:
  void Exchange(const TMailServer& server, const TMailMessage& message, TDeadline deadline);

  std::function<std::string()> host_name_;
  std::function<std::string()> mail_date_;
  std::uint16_t port_;
  TSmtpTimeouts timeouts_;
  std::uint64_t sent_ = 0;
};

}  // namespace warderon
