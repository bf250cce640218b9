// Prints every dispatched alert to a stream: the subject, the body and each
// detail line on lines of their own, then an empty line.
#pragma once

#include <iosfwd>

#include "alerts/delivery.h"

namespace warderon {

class TConsoleAlertPrinter final : public TAlertObserver {
 public:
  explicit TConsoleAlertPrinter(std::ostream& out) : out_(out) {}
  void OnAlert(const std::string& subject, const std::string& body,
               const std::vector<std::string>& details) override;

 private:
  std::ostream& out_;
};

}  // namespace warderon
