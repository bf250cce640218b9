#include "alerts/outbox_records.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace warderon {
namespace {

std::string CivilFields(const TCivilTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%d %d %d %d %d %d %d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

bool ParseCivil(const std::string& text, TCivilTime& t) {
  return std::sscanf(text.c_str(), "%d %d %d %d %d %d %d", &t.year, &t.month, &t.day, &t.hour,
                     &t.minute, &t.second, &t.millisecond) == 7;
}

// The raise time as three fields: UTC ms (the entry's own), local, mail date.
void PutRaise(const TRaiseTime& raised, TOutboxEntry& entry) {
  entry.raised_ms = raised.utc_ms;
  entry.fields.push_back(CivilFields(raised.local));
  entry.fields.push_back(raised.mail_date);
}

bool TakeRaise(const TOutboxEntry& entry, std::size_t at, TRaiseTime& raised) {
  raised.utc_ms = entry.raised_ms;
  raised.mail_date = entry.fields[at + 1];
  return ParseCivil(entry.fields[at], raised.local);
}

// The raise time in UTC, for a notice that names an outbox's range.
std::string UtcText(std::int64_t utc_ms) {
  const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

}  // namespace

std::string RaiseText(const TCivilTime& t) {
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

TOutboxEntry EncodeLine(const TQueuedLine& line) {
  TOutboxEntry entry;
  entry.fields = {line.line, line.subject, line.module, std::to_string(line.level),
                  std::to_string(line.sequence_id)};
  PutRaise(line.raised, entry);
  return entry;
}

std::optional<TQueuedLine> DecodeLine(const TOutboxEntry& entry) {
  if (entry.fields.size() != 7) return std::nullopt;
  TQueuedLine line;
  line.line = entry.fields[0];
  line.subject = entry.fields[1];
  line.module = entry.fields[2];
  line.level = std::atoi(entry.fields[3].c_str());
  line.sequence_id = static_cast<std::uint32_t>(std::strtoul(entry.fields[4].c_str(), nullptr, 10));
  if (!TakeRaise(entry, 5, line.raised)) return std::nullopt;
  return line;
}

TOutboxEntry EncodeMail(const TQueuedMail& mail) {
  TOutboxEntry entry;
  entry.fields = {mail.subject, mail.message_id};
  PutRaise(mail.raised, entry);
  entry.fields.insert(entry.fields.end(), mail.body_lines.begin(), mail.body_lines.end());
  return entry;
}

std::optional<TQueuedMail> DecodeMail(const TOutboxEntry& entry) {
  if (entry.fields.size() < 4) return std::nullopt;
  TQueuedMail mail;
  mail.subject = entry.fields[0];
  mail.message_id = entry.fields[1];
  if (!TakeRaise(entry, 2, mail.raised)) return std::nullopt;
  mail.body_lines.assign(entry.fields.begin() + 4, entry.fields.end());
  return mail;
}

TMailMessage LateMail(const TQueuedMail& queued, const std::string& host) {
  TMailMessage message;
  message.subject = host + ": " + queued.subject;
  message.body_lines.push_back("raised at " + RaiseText(queued.raised.local) +
                               " and delivered late: the mail server could not take it then");
  message.body_lines.insert(message.body_lines.end(), queued.body_lines.begin(),
                            queued.body_lines.end());
  message.date = queued.raised.mail_date;
  message.message_id = queued.message_id;
  return message;
}

TMailMessage DigestMail(const std::vector<TQueuedMail>& queued, const std::string& host,
                        std::size_t max_lines, std::size_t& count) {
  TMailMessage message;
  count = 0;
  std::vector<std::string> lines;
  for (const TQueuedMail& mail : queued) {
    const std::size_t needed = 1 + mail.body_lines.size();
    if (count > 0 && lines.size() + needed > max_lines) break;
    lines.push_back("raised at " + RaiseText(mail.raised.local) + ": " + mail.subject);
    for (const std::string& line : mail.body_lines) {
      if (lines.size() >= max_lines) {
        lines.emplace_back("... additional items deleted");
        break;
      }
      lines.push_back(line);
    }
    ++count;
  }
  const TQueuedMail& first = queued.front();
  const TQueuedMail& last = queued[count - 1];
  message.subject = host + ": " + std::to_string(count) + " delayed alerts, raised from " +
                    RaiseText(first.raised.local) + " to " + RaiseText(last.raised.local);
  message.body_lines.push_back(
      "These alerts could not be mailed when they were raised; here "
      "they are in the order they were raised.");
  message.body_lines.insert(message.body_lines.end(), lines.begin(), lines.end());
  message.date = first.raised.mail_date;
  // The same digest of the same backlog keeps its id on a retry.
  std::string id = first.message_id;
  if (id.size() > 2) id.insert(1, "digest-" + std::to_string(count) + "-");
  message.message_id = id;
  return message;
}

std::string DroppedNotice(const TOutboxDropped& dropped, const char* sink) {
  return std::to_string(dropped.count) + " alerts dropped while " + sink + " was unreachable";
}

std::string DroppedRange(const TOutboxDropped& dropped) {
  return "the first raised at " + UtcText(dropped.first_raised_ms) + ", the last at " +
         UtcText(dropped.last_raised_ms) + "; the outbox was full or they were too old";
}

}  // namespace warderon
