// Stand-ins for the network clients in a build that has none yet: every
// attempt fails with a message that says so.
#pragma once

#include "alerts/delivery.h"

namespace warderon {

class TUnavailableMailTransport final : public TMailTransport {
 public:
  void SendMail(const std::string& server, const TMailMessage& message) override;
};

class TUnavailableSyslogSender final : public TSyslogSender {
 public:
  void SendSyslog(const std::string& host, int facility, int severity,
                  const std::string& message) override;
};

}  // namespace warderon
