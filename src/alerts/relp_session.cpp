#include "alerts/relp_session.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/text.h"

namespace warderon {
namespace {

constexpr std::string_view kOffer = "relp_version=0\nrelp_software=warderon\ncommands=syslog";

// The status code at the start of a response's data; 0 when there is none.
int StatusOf(const std::string& data) {
  if (data.size() < 3) return 0;
  int code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (data[i] < '0' || data[i] > '9') return 0;
    code = code * 10 + (data[i] - '0');
  }
  return code;
}

// A decimal number of at most max_digits digits at text[at], advancing at.
bool ParseNumber(const std::string& text, std::size_t& at, std::size_t max_digits,
                 std::uint64_t& value) {
  const std::size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < max_digits) {
    value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    ++at;
  }
  return at > start;
}

// A collector's answer as it may appear in a report: short, and without a
// control character that could start a line of its own.
std::string AnswerText(const std::string& data) { return VisibleLine(data.substr(0, 200)); }

}  // namespace

TRelpSession::TRelpSession(std::unique_ptr<TTcpConnection> connection, TDeadline deadline)
    : connection_(std::move(connection)) {
  open_transaction_ = Transmit("open", kOffer, deadline);
  while (!opened_) ReadAnswers(true, deadline);
}

std::uint32_t TRelpSession::Queue(std::string_view command, std::string_view data) {
  const std::uint32_t transaction = next_transaction_;
  next_transaction_ = next_transaction_ >= kMaxTransaction ? 1 : next_transaction_ + 1;
  unsent_ += std::to_string(transaction);
  unsent_ += ' ';
  unsent_ += command;
  unsent_ += ' ';
  unsent_ += std::to_string(data.size());
  if (!data.empty()) {
    unsent_ += ' ';
    unsent_ += data;
  }
  unsent_ += '\n';
  return transaction;
}

std::uint32_t TRelpSession::Transmit(std::string_view command, std::string_view data,
                                     TDeadline deadline) {
  const std::uint32_t transaction = Queue(command, data);
  Flush(deadline);
  return transaction;
}

void TRelpSession::Flush(TDeadline deadline) {
  if (unsent_.empty()) return;
  try {
    connection_->SendAll(unsent_, deadline);
  } catch (const TSocketError& error) {
    Fail(error.what());
  }
  unsent_.clear();
}

void TRelpSession::Send(std::string_view message, TDeadline deadline) {
  if (broken_) Fail("the session had ended");
  // A session that waited for nothing may have been closed by the
  // collector meanwhile: that is seen before anything is sent on it.
  if (outstanding_.empty()) ReadAnswers(false, deadline);
  while (outstanding_.size() >= kWindow) {
    Flush(deadline);
    ReadAnswers(true, deadline);
  }
  outstanding_.push_back({Queue("syslog", message), false});
  // Frames go out together, a few at a time: one write (one TLS record)
  // for many messages.
  if (unsent_.size() >= kSendChunk) {
    Flush(deadline);
    ReadAnswers(false, deadline);
  }
}

void TRelpSession::AwaitAnswers(TDeadline deadline) {
  Flush(deadline);
  while (!outstanding_.empty()) ReadAnswers(true, deadline);
}

std::size_t TRelpSession::TakeAnswered() { return std::exchange(answered_, 0); }

void TRelpSession::Close(TDeadline deadline) {
  if (broken_) return;
  try {
    Transmit("close", "", deadline);
  } catch (const TSocketError&) {
  }
  broken_ = true;
}

void TRelpSession::ReadAnswers(bool wait, TDeadline deadline) {
  if (broken_) Fail("the session had ended");
  try {
    bool first = true;
    while ((wait && first) || connection_->ClosedOrSpoken()) {
      first = false;
      char chunk[16384];
      const std::size_t received = connection_->Receive(chunk, sizeof chunk, deadline);
      if (received == 0) Fail("the collector closed the connection");
      incoming_.append(chunk, received);
      TFrame frame;
      while (ParseFrame(frame)) Handle(frame);
      if (incoming_.size() > kMaxFrameData + 64) Fail("an answer that is not RELP");
    }
  } catch (const TSocketError& error) {
    if (!broken_) Fail(error.what());
    throw;
  }
}

bool TRelpSession::ParseFrame(TFrame& frame) {
  std::size_t at = 0;
  std::uint64_t transaction = 0;
  std::uint64_t length = 0;
  if (incoming_.empty()) return false;
  const auto bad = [this] { Fail("an answer that is not RELP"); };
  // A field cut off at the end of what came waits for more; anything else
  // out of place ends the session.
  if (!ParseNumber(incoming_, at, 9, transaction)) {
    if (at < incoming_.size()) bad();
    return false;
  }
  if (at == incoming_.size()) return false;
  if (incoming_[at++] != ' ') bad();
  const std::size_t command_start = at;
  while (at < incoming_.size() && incoming_[at] != ' ' && at - command_start < 32) ++at;
  if (at == incoming_.size()) return false;
  if (incoming_[at] != ' ' || at == command_start) bad();
  frame.command = incoming_.substr(command_start, at - command_start);
  ++at;
  if (!ParseNumber(incoming_, at, 9, length)) {
    if (at < incoming_.size()) bad();
    return false;
  }
  if (length > kMaxFrameData) bad();
  if (length > 0) {
    if (at == incoming_.size()) return false;
    if (incoming_[at++] != ' ') bad();
  }
  if (incoming_.size() < at + length + 1) return false;
  frame.data = incoming_.substr(at, length);
  at += length;
  if (incoming_[at++] != '\n') bad();
  frame.transaction = static_cast<std::uint32_t>(transaction);
  incoming_.erase(0, at);
  return true;
}

void TRelpSession::Handle(const TFrame& frame) {
  if (frame.command == "serverclose") Fail("the collector closed the session");
  if (frame.command != "rsp") return;  // nothing else is sent to a client
  const int status = StatusOf(frame.data);
  if (!opened_ && frame.transaction == open_transaction_) {
    if (status != 200) Fail("the collector refused the session: " + AnswerText(frame.data));
    if (frame.data.find("commands=") != std::string::npos &&
        frame.data.find("syslog") == std::string::npos) {
      Fail("the collector does not take syslog messages");
    }
    opened_ = true;
    return;
  }
  const auto waiting =
      std::find_if(outstanding_.begin(), outstanding_.end(),
                   [&](const TWaiting& entry) { return entry.transaction == frame.transaction; });
  if (waiting == outstanding_.end()) return;  // an answer to nothing outstanding
  if (status != 200) {
    Fail("the collector refused a message: " + AnswerText(frame.data));
  }
  waiting->answered = true;
  // Only an unbroken run from the oldest counts: what came after a message
  // still waiting stays in the outbox until that one is answered too.
  while (!outstanding_.empty() && outstanding_.front().answered) {
    outstanding_.pop_front();
    ++answered_;
  }
}

void TRelpSession::Fail(const std::string& what) {
  broken_ = true;
  outstanding_.clear();  // unanswered: sent again on a new session
  throw TSocketError("RELP: " + what);
}

}  // namespace warderon
