#include "fakes/recording_alerts.h"

#include <stdexcept>

namespace warderon::testing {

void TRecordingAlerts::SendAlert(AlertLevel level, const std::string& subject,
                                 const std::string& body) {
  alerts.push_back({level, subject, body, {}});
}

void TRecordingAlerts::SendAlertWithDetails(AlertLevel level, const std::string& subject,
                                            const std::string& body,
                                            const std::vector<std::string>& details) {
  alerts.push_back({level, subject, body, details});
  if (fail_details) throw std::runtime_error("alert could not be delivered");
}

std::vector<std::string> TRecordingAlerts::Subjects() const {
  std::vector<std::string> subjects;
  for (const auto& alert : alerts) subjects.push_back(alert.subject);
  return subjects;
}

}  // namespace warderon::testing
