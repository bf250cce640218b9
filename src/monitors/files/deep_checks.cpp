#include "monitors/files/deep_checks.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/text_case.h"
#include "platform/files/atomic_file.h"
#include "platform/files/directory_search.h"
#include "platform/time/date_time.h"

namespace warderon {
namespace {

constexpr char kHeader[] = "warderon file facts 1";
constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a day number

std::uint64_t Prefix(const TSha256Digest& digest) {
  std::uint64_t prefix = 0;
  std::memcpy(&prefix, digest.data(), sizeof prefix);
  return prefix == 0 ? 1 : prefix;  // 0 stands for none
}

// A status-change time as an administrator reads it, in UTC: it is not a
// time the file system shows in local time anywhere.
std::string UtcText(std::int64_t nanoseconds) {
  const std::int64_t seconds =
      nanoseconds >= 0 ? nanoseconds / 1000000000 : (nanoseconds - 999999999) / 1000000000;
  const TCivilTime civil =
      ToCivilTime(TDateTime{kUnixEpochDays + static_cast<double>(seconds) / 86400.0 + 1e-9});
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", civil.year, civil.month,
                civil.day, civil.hour, civil.minute, civil.second);
  return text;
}

std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool ParseHex(std::string_view text, std::uint64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string Hex(std::uint64_t value) {
  char text[17];
  const auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
  return std::string(text, end);
}

// Splits a line at tabs into exactly count fields.
bool SplitFields(std::string_view line, std::vector<std::string_view>& fields, std::size_t count) {
  fields.clear();
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields.size() == count;
}

}  // namespace

TDeepChecks::TDeepChecks(TPathRules rules, TClock now) : rules_(rules), now_(std::move(now)) {}

void TDeepChecks::Configure(TDeepOptions options, const TFileCatalogue& catalogue) {
  const bool was_active = Active();
  const bool had_attributes = options_.attributes;
  const std::vector<std::string> old_dirs = options_.digest_dirs;
  options_ = std::move(options);
  if (!Active()) {
    if (was_active) {
      std::vector<TRecord>().swap(records_);
      queue_.clear();
      reading_.Close();
      reading_open_ = false;
      lines_.clear();
      texts_.clear();
      text_numbers_.clear();
      volumes_.clear();
      dirty_ = true;  // the side file goes
    }
    return;
  }
  if (options_.attributes != had_attributes || options_.digest_dirs != old_dirs) {
    // What is now out of scope is forgotten; what came into scope is
    // recorded silently at its next visit.
    for (std::size_t i = 0; i < records_.size(); ++i) {
      TRecord& record = records_[i];
      if (record.flags == 0) continue;
      const auto index = static_cast<TRecordIndex>(i);
      const bool live = i < catalogue.Slots() && catalogue.Record(index).live;
      const bool digests = live && InDigestDir(catalogue.Key(index));
      if (!live || (!options_.attributes && !digests)) {
        record = TRecord{};
      } else if (!digests) {
        record.flags &= static_cast<std::uint8_t>(~(kHasDigest | kQueued));
        record.digest = 0;
      } else if (!options_.attributes && !had_attributes) {
        continue;
      }
      dirty_ = true;
    }
    if (options_.attributes && !had_attributes) {
      // Facts kept only to know when to hash again: taken in silently
      // as the attributes are switched on.
      for (TRecord& record : records_) {
        if (record.flags & kKnown) record.flags |= kQuietFacts;
      }
    }
  }
}

TDeepChecks::TRecord& TDeepChecks::At(TRecordIndex index) {
  if (index >= records_.size()) {
    // Grown by an eighth, not doubled: at a million files the table is
    // most of what the checks cost.
    const std::size_t wanted = std::size_t{index} + 1;
    if (wanted > records_.capacity()) records_.reserve(wanted + wanted / 8 + 1024);
    records_.resize(wanted);
  }
  return records_[index];
}

bool TDeepChecks::InDigestDir(std::string_view key) const {
  for (const std::string& directory : options_.digest_dirs) {
    if (key.size() <= directory.size()) continue;
    const std::string_view head = key.substr(0, directory.size());
    if (rules_.case_sensitive ? head == directory : CompareTextIgnoreCase(head, directory) == 0) {
      return true;
    }
  }
  return false;
}

std::uint32_t TDeepChecks::Intern(const std::string& text) {
  const auto found = text_numbers_.find(text);
  if (found != text_numbers_.end()) return found->second;
  const auto number = static_cast<std::uint32_t>(texts_.size());
  texts_.push_back(text);
  text_numbers_.emplace(text, number);
  return number;
}

std::uint8_t TDeepChecks::InternVolume(std::uint64_t volume) {
  const auto found = std::find(volumes_.begin(), volumes_.end(), volume);
  if (found != volumes_.end()) return static_cast<std::uint8_t>(found - volumes_.begin());
  // More file systems than a byte numbers: the last number is shared, and
  // a move between two of those is seen by the file id alone.
  if (volumes_.size() == 255) return 254;
  volumes_.push_back(volume);
  return static_cast<std::uint8_t>(volumes_.size() - 1);
}

std::string TDeepChecks::IdentityText(std::uint8_t volume, std::uint64_t file_id) const {
  const std::uint64_t device = volume < volumes_.size() ? volumes_[volume] : 0;
  return std::to_string(device) + ":" + std::to_string(file_id);
}

void TDeepChecks::AddLine(TRecordIndex index, std::string line) {
  lines_.emplace_back(index, std::move(line));
}

void TDeepChecks::Queue(TRecordIndex index, TRecord& record) {
  if (record.flags & kQueued) return;
  record.flags |= kQueued;
  queue_.push_back(index);
}

void TDeepChecks::Visit(TRecordIndex index, const std::string& key, bool part_changed,
                        double old_time, double new_time) {
  const bool in_digest_dir = InDigestDir(key);
  if (!options_.attributes && !in_digest_dir) return;
  std::string error;
  const auto facts = ReadFileFacts(key, error);
  if (!facts) return;  // gone since it was listed: the next look tells
  // A link is compared by its facts, never followed to be hashed.
  const bool digests = in_digest_dir && facts->regular;
  TRecord& record = At(index);
  TRecord now = record;
  now.file_id = facts->file_id;
  now.volume = InternVolume(facts->volume);
  now.status_changed = facts->status_changed;
  now.security = facts->security;
  now.owner = Intern(facts->owner);
  now.group = Intern(facts->group);
  now.mode = static_cast<std::uint16_t>(facts->mode);
  now.links = static_cast<std::uint16_t>(std::min<std::uint32_t>(facts->links, 65535));
  now.flags |= kKnown;
  const bool known = (record.flags & kKnown) != 0;
  const bool quiet = !known || (record.flags & kQuietFacts) != 0;
  now.flags &= static_cast<std::uint8_t>(~kQuietFacts);
  const bool replaced = known && (now.file_id != record.file_id || now.volume != record.volume);
  const bool status_moved = known && now.status_changed != record.status_changed;
  if (known && !quiet && options_.attributes) {
    bool other = false;
    if (replaced) {
      AddLine(index, " Replaced : " + key + " (identity " +
                         IdentityText(record.volume, record.file_id) + "->" +
                         IdentityText(now.volume, now.file_id) + ")");
      other = true;
    }
    if (now.owner != record.owner || now.group != record.group) {
      const auto account = [this](std::uint32_t owner, std::uint32_t group) {
        return AccountText(texts_[owner], false) + ":" + AccountText(texts_[group], true);
      };
      AddLine(index, " Changed Owner : " + key + " (" + account(record.owner, record.group) + "->" +
                         account(now.owner, now.group) + ")");
      other = true;
    }
    if (now.mode != record.mode) {
      AddLine(index, " Changed Mode : " + key + " (" + ModeText(record.mode) + "->" +
                         ModeText(now.mode) + ")");
      other = true;
    }
    if (now.security != record.security) {
      AddLine(index, " Changed Security : " + key);
      other = true;
    }
    if (now.links != record.links) {
      AddLine(index, " Changed Links : " + key + " (" + std::to_string(record.links) + "->" +
                         std::to_string(now.links) + ")");
      other = true;
    }
    // The mark of an edit whose time was restored: the status changed and
    // nothing else did, or the last-write time went back.
    if ((status_moved && !other && !part_changed) || (part_changed && new_time < old_time)) {
      AddLine(index, " Time Reset : " + key + " (last write " + FormatLocalDateTime(old_time) +
                         "->" + FormatLocalDateTime(new_time) + ", status changed at " +
                         UtcText(now.status_changed) + ")");
    }
  }
  if (digests) {
    const bool stale = !(record.flags & kHasDigest) || part_changed || replaced || status_moved;
    if (stale) {
      if (part_changed) now.flags |= kMetadataMoved;
      // Not yet hashed: the first digest is taken in silently.
      if (!(record.flags & kHasDigest)) now.flags |= kQuietDigest;
      now.flags &= static_cast<std::uint8_t>(~kQueued);
      if (record.flags & kQueued) now.flags |= kQueued;
      record = now;
      Queue(index, record);
      dirty_ = true;
      return;
    }
  } else {
    now.flags &= static_cast<std::uint8_t>(~(kHasDigest | kQueued));
    now.digest = 0;
  }
  if (!digests) now.flags &= static_cast<std::uint8_t>(~kQuietDigest);
  if (std::memcmp(&now, &record, sizeof now) != 0) dirty_ = true;
  record = now;
}

std::uint64_t TDeepChecks::Backlog(const TFileCatalogue& catalogue) const {
  // Counted from the queue itself: what left the catalogue or the scope
  // since it was queued never lingers in the figure.
  std::uint64_t bytes = reading_open_ ? reading_.Remaining() : 0;
  for (const TRecordIndex index : queue_) {
    if (index < records_.size() && (records_[index].flags & kQueued) && index < catalogue.Slots() &&
        catalogue.Record(index).live) {
      bytes +=
          static_cast<std::uint64_t>(std::max<std::int64_t>(catalogue.Record(index).FileSize, 0));
    }
  }
  return bytes;
}

void TDeepChecks::Forget(TRecordIndex index) {
  if (index >= records_.size() || records_[index].flags == 0) return;
  records_[index] = TRecord{};  // a queued number is skipped when it comes
  dirty_ = true;
}

void TDeepChecks::QueuePeriodicSlice(const TFileCatalogue& catalogue) {
  if (options_.full_check.count() <= 0 || records_.empty()) return;
  const auto now = now_();
  if (!periodic_started_) {
    periodic_started_ = true;
    periodic_last_ = now;
    return;
  }
  const double share = std::chrono::duration<double>(now - periodic_last_).count() /
                       std::chrono::duration<double>(options_.full_check).count();
  auto count = static_cast<std::size_t>(share * static_cast<double>(records_.size()) + 0.999);
  if (count == 0) return;
  periodic_last_ = now;
  count = std::min(count, records_.size());
  for (std::size_t i = 0; i < count; ++i) {
    const auto index = static_cast<TRecordIndex>(periodic_cursor_);
    periodic_cursor_ = (periodic_cursor_ + 1) % records_.size();
    TRecord& record = records_[index];
    if ((record.flags & kHasDigest) && !(record.flags & kQueued) && index < catalogue.Slots() &&
        catalogue.Record(index).live) {
      Queue(index, record);
    }
  }
}

void TDeepChecks::ReadDigests(const TFileCatalogue& catalogue) {
  if (options_.digest_dirs.empty()) return;
  QueuePeriodicSlice(catalogue);
  std::uint64_t budget = options_.budget_bytes;
  while (budget > 0 && (reading_open_ || !queue_.empty())) {
    if (!reading_open_) {
      reading_index_ = queue_.front();
      queue_.pop_front();
      if (reading_index_ >= records_.size() || !(records_[reading_index_].flags & kQueued) ||
          reading_index_ >= catalogue.Slots() || !catalogue.Record(reading_index_).live) {
        continue;  // left the catalogue, or out of scope, since it was queued
      }
      const std::string key = catalogue.Key(reading_index_);
      std::string error;
      if (!reading_.Open(key, error)) {
        TRecord& record = records_[reading_index_];
        record.flags &= static_cast<std::uint8_t>(~kQueued);
        if (!(record.flags & kUnreadableSaid)) {
          record.flags |= kUnreadableSaid;
          AddLine(reading_index_, " Unreadable : " + key + " (" + error + ")");
          dirty_ = true;
        }
        continue;
      }
      reading_open_ = true;
    }
    std::string error;
    const std::uint64_t got = reading_.Read(budget, error);
    budget -= std::min(budget, got);
    if (!error.empty()) {
      reading_open_ = false;
      const std::string key = catalogue.Key(reading_index_);
      TRecord& record = records_[reading_index_];
      record.flags &= static_cast<std::uint8_t>(~kQueued);
      if (!(record.flags & kUnreadableSaid)) {
        record.flags |= kUnreadableSaid;
        AddLine(reading_index_, " Unreadable : " + key + " (" + error + ")");
      }
      continue;
    }
    if (!reading_.Done()) break;  // the budget is spent; the rest next cycle
    reading_open_ = false;
    const std::string key = catalogue.Key(reading_index_);
    if (reading_.ChangedWhileRead()) {
      // Of no one version: taken again from the start.
      reading_.Close();
      TRecord& record = records_[reading_index_];
      record.flags &= static_cast<std::uint8_t>(~kQueued);
      Queue(reading_index_, record);
      if (queue_.size() == 1) break;  // alone in the queue: not again in this cycle
      continue;
    }
    FinishDigest(reading_index_, key, reading_.Finish());
  }
}

void TDeepChecks::FinishDigest(TRecordIndex index, const std::string& key,
                               const TSha256Digest& digest) {
  TRecord& record = records_[index];
  const std::uint64_t value = Prefix(digest);
  const bool quiet = (record.flags & kQuietDigest) || !(record.flags & kHasDigest);
  if (!quiet && value != record.digest) {
    AddLine(index, " Changed Content : " + key);
    if (!(record.flags & kMetadataMoved)) {
      AddLine(index, " Time Reset : " + key +
                         " (content changed while its last-write time and size stayed)");
    }
  }
  record.digest = value;
  record.flags |= kHasDigest;
  record.flags &=
      static_cast<std::uint8_t>(~(kQueued | kQuietDigest | kMetadataMoved | kUnreadableSaid));
  dirty_ = true;
}

void TDeepChecks::TakeLines(TRecordIndex index, std::vector<std::string>& lines) {
  for (auto& [file, line] : lines_) {
    if (file == index && !line.empty()) lines.push_back(std::exchange(line, std::string()));
  }
}

void TDeepChecks::TakeRemainingLines(std::vector<std::string>& lines) {
  // A file's lines together (its facts are found at the visit, its content
  // later), files in the order they were found.
  std::unordered_map<TRecordIndex, std::size_t> first;
  for (std::size_t i = 0; i < lines_.size(); ++i) first.emplace(lines_[i].first, i);
  std::stable_sort(lines_.begin(), lines_.end(), [&first](const auto& a, const auto& b) {
    return first.at(a.first) < first.at(b.first);
  });
  for (auto& [file, line] : lines_) {
    if (!line.empty()) lines.push_back(std::move(line));
  }
  lines_.clear();
}

void TDeepChecks::Load(const std::string& path, const TFileCatalogue& catalogue) {
  // The catalogue was read anew: its numbers may name other files now.
  std::vector<TRecord>().swap(records_);
  queue_.clear();
  reading_.Close();
  reading_open_ = false;
  lines_.clear();
  if (!Active()) return;
  records_.reserve(catalogue.Slots() + catalogue.Slots() / 64 + 1024);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenFileForReading(path),
                                                             &std::fclose);
  if (!file) {
    if (errno == ENOENT) return;
    throw std::runtime_error("open the file facts '" + path + "': " + std::strerror(errno));
  }
  std::string pending;
  std::vector<char> buffer(1 << 16);
  bool header = true;
  std::optional<std::string> key;
  std::vector<std::string_view> fields;
  const auto take_line = [&](std::string_view line) {
    if (header) {
      header = false;
      if (line != kHeader) throw std::runtime_error("'" + path + "' is not a file facts file");
      return;
    }
    if (!key) {
      key = CatalogueKeyFromLine(line);
      if (!key) key = std::string();  // a bad key: its facts line is skipped
      return;
    }
    const std::string entry_key = std::move(*key);
    key.reset();
    const auto index = entry_key.empty() ? std::nullopt : catalogue.Find(entry_key);
    if (!index || !SplitFields(line, fields, 10)) return;
    TRecord record;
    std::uint64_t volume = 0;
    std::uint32_t mode = 0;
    std::uint32_t links = 0;
    std::uint32_t flags = 0;
    if (!ParseNumber(fields[0], volume) || !ParseNumber(fields[1], record.file_id) ||
        !ParseNumber(fields[2], record.status_changed) || !ParseNumber(fields[5], mode) ||
        !ParseNumber(fields[6], links) || !ParseHex(fields[7], record.security) ||
        !ParseNumber(fields[8], flags) || !ParseHex(fields[9], record.digest)) {
      return;
    }
    record.volume = InternVolume(volume);
    record.owner = Intern(std::string(fields[3]));
    record.group = Intern(std::string(fields[4]));
    record.mode = static_cast<std::uint16_t>(mode);
    record.links = static_cast<std::uint16_t>(links);
    record.flags = static_cast<std::uint8_t>(flags & (kKnown | kHasDigest | kUnreadableSaid));
    At(*index) = record;
  };
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (got == 0) break;
    std::size_t start = 0;
    for (std::size_t i = 0; i < got; ++i) {
      if (buffer[i] != '\n') continue;
      if (pending.empty()) {
        take_line(std::string_view(buffer.data() + start, i - start));
      } else {
        pending.append(buffer.data() + start, i - start);
        take_line(pending);
        pending.clear();
      }
      start = i + 1;
    }
    pending.append(buffer.data() + start, got - start);
  }
  if (std::ferror(file.get())) {
    throw std::runtime_error("read the file facts '" + path + "': " + std::strerror(errno));
  }
  dirty_ = false;
}

void TDeepChecks::Save(const std::string& path, const TFileCatalogue& catalogue) {
  if (!dirty_) return;
  // What the walk's growth left over goes back (a start adds every file).
  if (records_.capacity() > records_.size() + records_.size() / 32 + 4096) records_.shrink_to_fit();
  if (!Active()) {
    std::error_code ignored;
    std::filesystem::remove(FilePath(path), ignored);
    dirty_ = false;
    return;
  }
  WriteFileAtomically(path, [&](const TWriteText& write) {
    std::string text = std::string(kHeader) + "\n";
    for (const TRecordIndex index : catalogue.SortedIndices()) {
      if (index >= records_.size()) continue;
      const TRecord& record = records_[index];
      if (!(record.flags & kKnown)) continue;
      AppendCatalogueKeyLine(catalogue.Key(index), text);
      text += '\n';
      const std::uint64_t volume = record.volume < volumes_.size() ? volumes_[record.volume] : 0;
      text += std::to_string(volume) + '\t' + std::to_string(record.file_id) + '\t' +
              std::to_string(record.status_changed) + '\t' + texts_[record.owner] + '\t' +
              texts_[record.group] + '\t' + std::to_string(record.mode) + '\t' +
              std::to_string(record.links) + '\t' + Hex(record.security) + '\t' +
              std::to_string(record.flags & (kKnown | kHasDigest | kUnreadableSaid)) + '\t' +
              Hex(record.digest) + '\n';
      if (text.size() >= (1 << 16)) {
        write(text);
        text.clear();
      }
    }
    write(text);
  });
  dirty_ = false;
}

}  // namespace warderon
