#include "fakes/recording_delivery.h"

#include <stdexcept>
#include <thread>

namespace warderon::testing {

void TRecordingMail::SendMail(const TMailServer& server, const TMailMessage& message,
                              TDeadline deadline) {
  if (fail) throw std::runtime_error("connect to " + server.host + ": refused");
  std::this_thread::sleep_for(delay);
  sent.push_back({server.host, message, deadline, server});
}

void TRecordingSyslog::SendSyslog(const std::string& host, int facility, int severity,
                                  const std::string& message) {
  if (fail) throw std::runtime_error("resolve " + host + ": unknown host");
  sent.push_back({host, facility, severity, message});
}

}  // namespace warderon::testing
