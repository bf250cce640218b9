// An alert sender that only records what it was given.
#pragma once

#include <string>
#include <vector>

#include "core/alert_sender.h"

namespace warderon::testing {

struct TRecordedAlert {
  AlertLevel level = 0;
  std::string subject;
  std::string body;
  std::vector<std::string> details;
};

class TRecordingAlerts final : public TAlertSender {
 public:
  void SendAlert(AlertLevel level, const std::string& subject, const std::string& body) override;
  void SendAlertWithDetails(AlertLevel level, const std::string& subject, const std::string& body,
                            const std::vector<std::string>& details) override;
  std::vector<std::string> Subjects() const;

  std::vector<TRecordedAlert> alerts;
  // Makes SendAlertWithDetails raise after recording, as a failing sink did.
  bool fail_details = false;
};

}  // namespace warderon::testing
