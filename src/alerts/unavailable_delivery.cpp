#include "alerts/unavailable_delivery.h"

#include <stdexcept>

namespace warderon {

void TUnavailableMailTransport::SendMail(const std::string& server,
                                         const TMailMessage& /*message*/) {
  throw std::runtime_error("mail to '" + server + "' not sent: this build has no SMTP client");
}

void TUnavailableSyslogSender::SendSyslog(const std::string& host, int /*facility*/,
                                          int /*severity*/, const std::string& /*message*/) {
  throw std::runtime_error("syslog to '" + host + "' not sent: this build has no syslog sender");
}

}  // namespace warderon
