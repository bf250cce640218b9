// A network sink's durable queue: what the sink could not take yet, kept in
// a file of its own until the sink took it, across stops, crashes and power
// cuts.
//
// The file is a log of framed records (length, CRC-32, payload): entries
// appended, and marks that the first entries were taken or dropped. Every
// append is on the disk before it returns. At load a torn last record is
// cut off and counted; a record that is damaged before the end sets the
// whole file aside (renamed ".corrupt") after what could be read is taken
// into a fresh file. The file is rewritten whole only when most of it is
// marks of what went.
//
// Not thread safe: the dispatcher calls it under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/files/append_file.h"

namespace warderon {

struct TOutboxEntry {
  std::uint64_t id = 0;             // given by the outbox, increasing
  std::int64_t raised_ms = 0;       // when the alert was raised: UTC ms since 1970
  std::vector<std::string> fields;  // the sink's own record
  std::uint64_t Bytes() const;
};

// What was dropped (oldest first, when the outbox was full or too old)
// since the sink last took the notice of it.
struct TOutboxDropped {
  std::uint64_t count = 0;
  std::int64_t first_raised_ms = 0;
  std::int64_t last_raised_ms = 0;
};

class TOutbox {
 public:
  // Loads the file (a missing one is an empty outbox). Never raises: what
  // went wrong is kept for TakeProblems.
  explicit TOutbox(std::string path);

  // Appends the entries (ids given here) in one flush. When the outbox
  // would hold more than max_bytes, the oldest entries go first and count
  // as dropped. A file that cannot be written keeps the entries in memory
  // and notes the failure.
  void Add(std::vector<TOutboxEntry> entries, std::uint64_t max_bytes);
  // The first count entries were taken by the sink.
  void Acknowledge(std::size_t count);
  // Drops every entry raised before the given time.
  void DropRaisedBefore(std::int64_t raised_ms);
  // The sink took the notice of what was dropped.
  void ClearDropped();

  const std::deque<TOutboxEntry>& Entries() const { return entries_; }
  bool Empty() const { return entries_.empty() && dropped_.count == 0; }
  const TOutboxDropped& Dropped() const { return dropped_; }
  std::uint64_t DroppedTotal() const { return dropped_total_; }
  std::uint64_t LiveBytes() const { return live_bytes_; }
  const std::string& Path() const { return path_; }

  // Torn records cut off, corrupt files set aside, writes that failed:
  // one text each, since the last call.
  std::vector<std::string> TakeProblems();

 private:
  void Load();
  void Append(const std::string& frames);
  void Rewrite();
  void Drop(std::size_t count);
  void NoteProblem(std::string text) { problems_.push_back(std::move(text)); }

  std::string path_;
  std::unique_ptr<TAppendFile> file_;
  std::deque<TOutboxEntry> entries_;
  std::uint64_t next_id_ = 1;
  std::uint64_t live_bytes_ = 0;
  std::uint64_t file_bytes_ = 0;
  TOutboxDropped dropped_;
  std::uint64_t dropped_total_ = 0;
  std::vector<std::string> problems_;
};

}  // namespace warderon
