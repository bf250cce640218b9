#include "alerts/outbox.h"

#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "platform/files/atomic_file.h"

namespace warderon {
namespace {

// Record types.
constexpr char kEntry = 'E';
constexpr char kTaken = 'A';    // every entry up to an id was taken
constexpr char kDropped = 'D';  // every entry up to an id was dropped; the notice's state
constexpr char kNoticeTaken = 'C';

constexpr std::size_t kFrameHeader = 8;  // length, CRC-32
// A length beyond this is damage, not a record: no alert is that large.
constexpr std::uint32_t kMaxRecord = 1U << 30;
// Rewritten whole once the marks of what went outweigh this and the rest.
constexpr std::uint64_t kRewriteSlack = 1U << 20;

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      entries[i] = c;
    }
    return entries;
  }();
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const char byte : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFFU] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFU;
}

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFFU);
}
void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFFU);
}

class TReader {
 public:
  explicit TReader(std::string_view bytes) : bytes_(bytes) {}
  bool U32(std::uint32_t& value) {
    if (bytes_.size() < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[i])) << (8 * i);
    }
    bytes_.remove_prefix(4);
    return true;
  }
  bool U64(std::uint64_t& value) {
    if (bytes_.size() < 8) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[i])) << (8 * i);
    }
    bytes_.remove_prefix(8);
    return true;
  }
  bool Text(std::string& text) {
    std::uint32_t size = 0;
    if (!U32(size) || bytes_.size() < size) return false;
    text.assign(bytes_.data(), size);
    bytes_.remove_prefix(size);
    return true;
  }
  bool AtEnd() const { return bytes_.empty(); }

 private:
  std::string_view bytes_;
};

std::string Frame(const std::string& payload) {
  std::string frame;
  frame.reserve(kFrameHeader + payload.size());
  PutU32(frame, static_cast<std::uint32_t>(payload.size()));
  PutU32(frame, Crc32(payload));
  return frame + payload;
}

std::string EntryRecord(const TOutboxEntry& entry) {
  std::string payload(1, kEntry);
  PutU64(payload, entry.id);
  PutU64(payload, static_cast<std::uint64_t>(entry.raised_ms));
  PutU32(payload, static_cast<std::uint32_t>(entry.fields.size()));
  for (const std::string& field : entry.fields) {
    PutU32(payload, static_cast<std::uint32_t>(field.size()));
    payload += field;
  }
  return Frame(payload);
}

std::string MarkRecord(char type, std::uint64_t id) {
  std::string payload(1, type);
  PutU64(payload, id);
  return Frame(payload);
}

std::string DroppedRecord(std::uint64_t id, const TOutboxDropped& dropped) {
  std::string payload(1, kDropped);
  PutU64(payload, id);
  PutU64(payload, dropped.count);
  PutU64(payload, static_cast<std::uint64_t>(dropped.first_raised_ms));
  PutU64(payload, static_cast<std::uint64_t>(dropped.last_raised_ms));
  return Frame(payload);
}

std::string ReadWholeFile(const std::string& path, bool& missing) {
  missing = false;
  std::FILE* file = OpenFileForReading(path);
  if (file == nullptr) {
    missing = errno == ENOENT;
    if (missing) return {};
    throw std::runtime_error("cannot read '" + path + "'");
  }
  std::string bytes;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    bytes.append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw std::runtime_error("cannot read '" + path + "'");
  return bytes;
}

}  // namespace

std::uint64_t TOutboxEntry::Bytes() const {
  std::uint64_t bytes = kFrameHeader + 21;
  for (const std::string& field : fields) bytes += 4 + field.size();
  return bytes;
}

TOutbox::TOutbox(std::string path) : path_(std::move(path)) {
  try {
    Load();
  } catch (const std::exception& error) {
    NoteProblem(std::string("outbox ") + path_ + ": " + error.what());
  }
}

void TOutbox::Load() {
  bool missing = false;
  const std::string bytes = ReadWholeFile(path_, missing);
  if (missing) {
    Rewrite();  // an empty outbox, its folder prepared for the service alone
    return;
  }
  std::size_t at = 0;
  bool corrupt = false;
  std::uint64_t torn = 0;
  while (at < bytes.size()) {
    TReader header(std::string_view(bytes).substr(at));
    std::uint32_t size = 0;
    std::uint32_t crc = 0;
    if (!header.U32(size) || !header.U32(crc)) {
      torn = bytes.size() - at;  // the last append was cut by a crash
      break;
    }
    if (size > kMaxRecord) {
      corrupt = true;  // a length no record has: damage
      break;
    }
    if (at + kFrameHeader + size > bytes.size()) {
      torn = bytes.size() - at;
      break;
    }
    const std::string_view payload = std::string_view(bytes).substr(at + kFrameHeader, size);
    if (Crc32(payload) != crc) {
      // A damaged last record is a torn append; damage before it is not.
      if (at + kFrameHeader + size == bytes.size()) {
        torn = bytes.size() - at;
      } else {
        corrupt = true;
      }
      break;
    }
    TReader record(payload.substr(payload.empty() ? 0 : 1));
    const char type = payload.empty() ? '\0' : payload[0];
    std::uint64_t id = 0;
    bool good = record.U64(id);
    if (good && type == kEntry) {
      TOutboxEntry entry;
      entry.id = id;
      std::uint64_t raised = 0;
      std::uint32_t count = 0;
      good = record.U64(raised) && record.U32(count);
      entry.raised_ms = static_cast<std::int64_t>(raised);
      for (std::uint32_t i = 0; good && i < count; ++i) {
        good = record.Text(entry.fields.emplace_back());
      }
      if (good) {
        live_bytes_ += entry.Bytes();
        next_id_ = std::max(next_id_, id + 1);
        entries_.push_back(std::move(entry));
      }
    } else if (good && (type == kTaken || type == kDropped)) {
      std::uint64_t count = 0, first = 0, last = 0;
      if (type == kDropped) good = record.U64(count) && record.U64(first) && record.U64(last);
      while (good && !entries_.empty() && entries_.front().id <= id) {
        live_bytes_ -= entries_.front().Bytes();
        entries_.pop_front();
      }
      if (good && type == kDropped) {
        dropped_ = {count, static_cast<std::int64_t>(first), static_cast<std::int64_t>(last)};
      }
    } else if (type == kNoticeTaken) {
      dropped_ = {};
      good = true;
    } else {
      good = false;
    }
    if (!good) {
      corrupt = true;
      break;
    }
    at += kFrameHeader + size;
  }
  file_bytes_ = at;
  if (corrupt) {
    // Set aside for whoever looks into it; what could be read goes on.
    const std::string aside = path_ + ".corrupt";
    std::error_code ignored;
    std::filesystem::rename(path_, aside, ignored);
    NoteProblem("outbox " + path_ + " is damaged at byte " + std::to_string(at) +
                ": set aside as " + aside + ", " + std::to_string(entries_.size()) +
                " entries before the damage kept");
    Rewrite();
    return;
  }
  file_ = OpenAppendFile(path_);
  if (torn > 0) {
    file_->Truncate(at);
    NoteProblem("outbox " + path_ + ": a torn last record (" + std::to_string(torn) +
                " bytes, from a crash in the middle of a write) was dropped");
  }
}

void TOutbox::Append(const std::string& frames) {
  try {
    if (!file_) file_ = OpenAppendFile(path_);
    file_->Append(frames);
    file_bytes_ += frames.size();
  } catch (const std::exception& error) {
    // What is in memory is still delivered while the process lives.
    file_.reset();
    NoteProblem(std::string("outbox ") + path_ + " could not be written: " + error.what());
  }
}

void TOutbox::Rewrite() {
  try {
    file_.reset();
    std::uint64_t written = 0;
    WriteFileAtomically(path_, [&](const TWriteText& write) {
      if (dropped_.count > 0) {
        const std::string record =
            DroppedRecord(entries_.empty() ? 0 : entries_.front().id - 1, dropped_);
        write(record);
        written += record.size();
      }
      for (const TOutboxEntry& entry : entries_) {
        const std::string record = EntryRecord(entry);
        write(record);
        written += record.size();
      }
    });
    file_bytes_ = written;
    file_ = OpenAppendFile(path_);
  } catch (const std::exception& error) {
    NoteProblem(std::string("outbox ") + path_ + " could not be rewritten: " + error.what());
  }
}

void TOutbox::Add(std::vector<TOutboxEntry> entries, std::uint64_t max_bytes) {
  if (entries.empty()) return;
  std::uint64_t added = 0;
  for (TOutboxEntry& entry : entries) {
    entry.id = next_id_++;
    added += entry.Bytes();
  }
  // Room first: the oldest go, queued or new alike, until the rest fits.
  std::size_t drop_old = 0;
  std::uint64_t kept_old = live_bytes_;
  while (drop_old < entries_.size() && kept_old + added > max_bytes) {
    kept_old -= entries_[drop_old++].Bytes();
  }
  std::size_t drop_new = 0;
  while (drop_new < entries.size() && kept_old + added > max_bytes) {
    added -= entries[drop_new++].Bytes();
  }
  if (drop_old > 0) Drop(drop_old);
  std::string frames;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i < drop_new) {
      dropped_.count += 1;
      if (dropped_.first_raised_ms == 0) dropped_.first_raised_ms = entries[i].raised_ms;
      dropped_.last_raised_ms = entries[i].raised_ms;
      ++dropped_total_;
      continue;
    }
    frames += EntryRecord(entries[i]);
    live_bytes_ += entries[i].Bytes();
    entries_.push_back(std::move(entries[i]));
  }
  if (drop_new > 0) frames = DroppedRecord(entries[drop_new - 1].id, dropped_) + frames;
  Append(frames);
  // Dropped entries still take room in the log: the file, not only what it
  // holds, stays within the bound.
  if (file_bytes_ > max_bytes) Rewrite();
}

void TOutbox::Drop(std::size_t count) {
  count = std::min(count, entries_.size());
  if (count == 0) return;
  for (std::size_t i = 0; i < count; ++i) {
    const TOutboxEntry& entry = entries_[i];
    if (dropped_.count == 0) dropped_.first_raised_ms = entry.raised_ms;
    dropped_.last_raised_ms = entry.raised_ms;
    ++dropped_.count;
    ++dropped_total_;
  }
  const std::uint64_t last_id = entries_[count - 1].id;
  for (std::size_t i = 0; i < count; ++i) {
    live_bytes_ -= entries_.front().Bytes();
    entries_.pop_front();
  }
  Append(DroppedRecord(last_id, dropped_));
}

void TOutbox::DropRaisedBefore(std::int64_t raised_ms) {
  std::size_t count = 0;
  while (count < entries_.size() && entries_[count].raised_ms < raised_ms) ++count;
  Drop(count);
}

void TOutbox::Acknowledge(std::size_t count) {
  count = std::min(count, entries_.size());
  if (count == 0) return;
  const std::uint64_t last_id = entries_[count - 1].id;
  for (std::size_t i = 0; i < count; ++i) {
    live_bytes_ -= entries_.front().Bytes();
    entries_.pop_front();
  }
  if (entries_.empty() && dropped_.count == 0) {
    // All delivered: an empty file, not a log of what went.
    Rewrite();
  } else if (file_bytes_ > 2 * live_bytes_ + kRewriteSlack) {
    Rewrite();
  } else {
    Append(MarkRecord(kTaken, last_id));
  }
}

void TOutbox::ClearDropped() {
  if (dropped_.count == 0) return;
  dropped_ = {};
  if (entries_.empty()) {
    Rewrite();
  } else {
    Append(MarkRecord(kNoticeTaken, 0));
  }
}

std::vector<std::string> TOutbox::TakeProblems() {
  std::vector<std::string> problems;
  problems.swap(problems_);
  return problems;
}

}  // namespace warderon
