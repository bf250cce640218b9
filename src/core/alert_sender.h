// How any part of the system raises an alert. The dispatcher implements it;
// the policy layer and the monitors only see this interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace warderon {

// 0 service start or start-up error, 1 run-time error caught by the cycle,
// 2 monitor finding, 3 baseline integrity warning, 4 a monitor's own failure,
// 5 service stopping. Only 3 changes the handling (see SendAlert).
using AlertLevel = std::uint8_t;

constexpr AlertLevel kAlertStart = 0;
constexpr AlertLevel kAlertRunTimeError = 1;
constexpr AlertLevel kAlertFinding = 2;
constexpr AlertLevel kAlertIntegrity = 3;
constexpr AlertLevel kAlertMonitorFailure = 4;
constexpr AlertLevel kAlertStopping = 5;

class TAlertSender {
 public:
  virtual ~TAlertSender() = default;
  // Raises an alert without detail lines; a level-3 alert is dropped
  // entirely while integrity alerts are suppressed. A delivery failure never
  // reaches the caller: the module that raised the alert goes on.
  virtual void SendAlert(AlertLevel level, const std::string& subject, const std::string& body) = 0;
  // Raises an alert with detail lines (an empty list is no list). Never
  // suppressed, whatever the level.
  virtual void SendAlertWithDetails(AlertLevel level, const std::string& subject,
                                    const std::string& body,
                                    const std::vector<std::string>& details) = 0;
};

}  // namespace warderon
