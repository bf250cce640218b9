#include "fakes/recording_delivery.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace warderon::testing {

void TRecordingMail::SendMail(const TMailServer& server, const TMailMessage& message,
                              TDeadline deadline) {
  ++attempts;
  if (fail) throw std::runtime_error("connect to " + server.host + ": refused");
  std::this_thread::sleep_for(delay);
  sent.push_back({server.host, message, deadline, server});
}

void TRecordingSyslog::SendSyslog(const TSyslogTarget& target, int facility, int severity,
                                  const std::string& message, const TSyslogAlert& alert) {
  ++attempts;
  if (fail) throw std::runtime_error("resolve " + target.host + ": unknown host");
  sent.push_back({target.host, facility, severity, message, target, alert});
}

TSyslogSender::TSettlement TRecordingSyslog::Settle(std::size_t handed_over, bool wait) {
  if (!answers) return {handed_over, {}};
  if (!wait) return {};  // nothing answered before the end
  const std::size_t taken = std::min(handed_over, *answers);
  *answers -= taken;
  if (taken == handed_over) return {taken, {}};
  return {taken, "RELP: the collector closed the connection"};
}

}  // namespace warderon::testing
