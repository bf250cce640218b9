// The Reliable Event Logging Protocol, client side, over an open
// connection: an offer of the syslog command, then syslog frames numbered
// one by one, each answered by the collector with a response carrying a
// status code. A message is the collector's only once it answered 200; a
// window bounds how many may wait for an answer at a time.
//   frame: TXNR SP COMMAND SP DATALEN [SP DATA] LF
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "platform/net/socket.h"

namespace warderon {

class TRelpSession {
 public:
  // Outstanding messages at most; what a collector keeps in its own window
  // by default.
  static constexpr std::size_t kWindow = 128;
  // An answer longer than this is no collector's answer.
  static constexpr std::size_t kMaxFrameData = 64 * 1024;
  static constexpr std::uint32_t kMaxTransaction = 999999999;
  // Frames are written together once this much waits, or before waiting.
  static constexpr std::size_t kSendChunk = 16 * 1024;

  // Sends the offer and waits for the collector's acceptance of "syslog"
  // before the deadline; raises TSocketError otherwise.
  TRelpSession(std::unique_ptr<TTcpConnection> connection, TDeadline deadline);

  // Sends one message (perhaps with the next ones: AwaitAnswers sends what
  // waits), first waiting (before the deadline) for answers while the
  // window is full. Raises TSocketError when the collector closed
  // the session, refused a message or broke the connection.
  void Send(std::string_view message, TDeadline deadline);

  // Waits before the deadline until every message sent has its answer.
  // Raises TSocketError as Send does, and on the deadline.
  void AwaitAnswers(TDeadline deadline);

  // How many messages were answered 200 since the last call, counted from
  // the oldest sent: what may leave the outbox. Valid after a failure too.
  std::size_t TakeAnswered();

  std::size_t Outstanding() const { return outstanding_.size(); }

  // Whether the session can take more messages without a failure.
  bool Usable() const { return !broken_; }

  // Tells the collector the session ends, best effort, within the deadline.
  void Close(TDeadline deadline);

 private:
  struct TFrame {
    std::uint32_t transaction = 0;
    std::string command;
    std::string data;
  };

  // A frame added to what waits to be written; its transaction number.
  std::uint32_t Queue(std::string_view command, std::string_view data);
  std::uint32_t Transmit(std::string_view command, std::string_view data, TDeadline deadline);
  void Flush(TDeadline deadline);
  // Reads and handles frames; waits for the first only when wait is set.
  void ReadAnswers(bool wait, TDeadline deadline);
  bool ParseFrame(TFrame& frame);
  void Handle(const TFrame& frame);
  [[noreturn]] void Fail(const std::string& what);

  std::unique_ptr<TTcpConnection> connection_;
  std::uint32_t next_transaction_ = 1;
  std::uint32_t open_transaction_ = 0;
  bool opened_ = false;
  bool broken_ = false;
  std::string incoming_;
  std::string unsent_;
  struct TWaiting {
    std::uint32_t transaction = 0;
    bool answered = false;
  };
  std::deque<TWaiting> outstanding_;
  std::size_t answered_ = 0;
};

}  // namespace warderon
