// Mail and syslog doubles that record every delivery and can be told to fail.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "alerts/delivery.h"

namespace warderon::testing {

class TRecordingMail final : public TMailTransport {
 public:
  void SendMail(const TMailServer& server, const TMailMessage& message,
                TDeadline deadline) override;

  struct TSent {
    std::string server;
    TMailMessage message;
    TDeadline deadline;
    TMailServer settings;
  };
  std::vector<TSent> sent;
  bool fail = false;
  int attempts = 0;
  std::chrono::milliseconds delay{0};  // a slow server
};

class TRecordingSyslog final : public TSyslogSender {
 public:
  void SendSyslog(const TSyslogTarget& target, int facility, int severity,
                  const std::string& message, const TSyslogAlert& alert) override;

  struct TDatagram {
    std::string host;
    int facility = 0;
    int severity = 0;
    std::string message;
    TSyslogTarget target;
    TSyslogAlert alert;
  };
  TSettlement Settle(std::size_t handed_over, bool wait = true) override;

  std::vector<TDatagram> sent;
  bool fail = false;
  int attempts = 0;
  // An acknowledging collector that answers this many more messages and
  // then breaks the connection; none: every message sent is taken.
  std::optional<std::size_t> answers;
};

}  // namespace warderon::testing
