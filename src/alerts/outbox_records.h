// What the dispatcher keeps in a sink's outbox, and the late forms it sends
// from there: a syslog message with its raise time and sequence id, a mail
// with its raise Date and Message-ID, digests of a long mail backlog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alerts/mail_message.h"
#include "alerts/outbox.h"
#include "platform/time/date_time.h"

namespace warderon {

// When an alert was raised, in the forms its late messages carry.
struct TRaiseTime {
  std::int64_t utc_ms = 0;
  TCivilTime local;
  std::string mail_date;  // RFC 5322, local
};

// "YYYY-MM-DD HH:MM:SS" (local time), as the late messages name it.
std::string RaiseText(const TCivilTime& local);

struct TQueuedLine {
  std::string line;
  std::string subject;
  std::string module;
  int level = 0;
  std::uint32_t sequence_id = 0;
  TRaiseTime raised;
};
TOutboxEntry EncodeLine(const TQueuedLine& line);
std::optional<TQueuedLine> DecodeLine(const TOutboxEntry& entry);

struct TQueuedMail {
  std::string subject;                  // without the host
  std::vector<std::string> body_lines;  // the body text, then the details as mailed
  std::string message_id;
  TRaiseTime raised;
};
TOutboxEntry EncodeMail(const TQueuedMail& mail);
std::optional<TQueuedMail> DecodeMail(const TOutboxEntry& entry);

// A backlog of more than this many mails goes as digests.
constexpr std::size_t kDigestAbove = 20;

// The mail of one queued alert, sent late: the first body line says when it
// was raised and that it is late; Date and Message-ID are the raise's.
TMailMessage LateMail(const TQueuedMail& queued, const std::string& host);

// One digest of the first queued alerts that fit max_lines body lines (at
// least one alert, cut to fit); count says how many it holds.
TMailMessage DigestMail(const std::vector<TQueuedMail>& queued, const std::string& host,
                        std::size_t max_lines, std::size_t& count);

// "N alerts dropped while SINK was unreachable", and the text that names
// the first and last raise times.
std::string DroppedNotice(const TOutboxDropped& dropped, const char* sink);
std::string DroppedRange(const TOutboxDropped& dropped);

}  // namespace warderon
