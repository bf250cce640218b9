// The file monitor's deeper checks, for the trees where an administrator
// wants them: with "FilesAttributes" every catalogued file's owner, group,
// permission bits, identity, link count, security descriptor digest and
// status-change time; below the "DigestDirs" a SHA-256 of the content too.
// What they find goes into the "file changes" alert after the lines of the
// last-write time and size for the same file.
//
// Kept in a file of its own beside the catalogue (the catalogue's format is
// untouched), 48 bytes a file in memory. Content is read within a byte budget
// per cycle: what is left waits for the next cycle and is reported then.
// Switched off, nothing is read, kept or written, and the side file goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "monitors/files/file_catalogue.h"
#include "platform/files/file_facts.h"
#include "platform/files/path_rules.h"

namespace warderon {

struct TDeepOptions {
  bool attributes = false;                    // "FilesAttributes"
  std::vector<std::string> digest_dirs;       // normalised, each with its separator
  std::uint64_t budget_bytes = 512ULL << 20;  // "DigestMBPerCycle"
  std::chrono::hours full_check{24};          // "DigestFullCheckHours"; 0: never
};

class TDeepChecks {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  TDeepChecks(TPathRules rules, TClock now);

  // Takes the settings of this cycle. A file newly in scope is taken in
  // silently at its next visit.
  void Configure(TDeepOptions options, const TFileCatalogue& catalogue);
  bool Active() const { return options_.attributes || !options_.digest_dirs.empty(); }
  bool Attributes() const { return options_.attributes; }

  // A file as the walk (or a followed cycle) records it. part_changed: the
  // file is new, or its last-write time or size changed; old_time and
  // new_time are its last-write times before and now (day numbers).
  void Visit(TRecordIndex index, const std::string& key, bool part_changed, double old_time,
             double new_time);
  // The file left the catalogue.
  void Forget(TRecordIndex index);

  // Reads the content waiting to be hashed, within the budget of a cycle.
  void ReadDigests(const TFileCatalogue& catalogue);
  // The lines found for a file, taken (each once).
  void TakeLines(TRecordIndex index, std::vector<std::string>& lines);
  // The lines of files for which the walk reported nothing, in the order
  // found, taken.
  void TakeRemainingLines(std::vector<std::string>& lines);

  // Bytes of content still to be hashed.
  std::uint64_t Backlog(const TFileCatalogue& catalogue) const;

  // The side file: read after the catalogue; written when something
  // changed; removed when both options are off. Raise std::runtime_error.
  void Load(const std::string& path, const TFileCatalogue& catalogue);
  void Save(const std::string& path, const TFileCatalogue& catalogue);
  bool Dirty() const { return dirty_; }

 private:
  static constexpr std::uint8_t kKnown = 1;           // facts recorded
  static constexpr std::uint8_t kHasDigest = 2;       // digest recorded
  static constexpr std::uint8_t kQueued = 4;          // waits to be hashed
  static constexpr std::uint8_t kUnreadableSaid = 8;  // " Unreadable" given, not since readable
  static constexpr std::uint8_t kQuietDigest = 16;    // the next digest is taken in silently
  static constexpr std::uint8_t kMetadataMoved = 32;  // time or size moved since queued
  static constexpr std::uint8_t kQuietFacts = 64;     // the next visit records silently
  struct TRecord {
    std::uint64_t file_id = 0;
    std::int64_t status_changed = 0;
    std::uint64_t security = 0;
    std::uint64_t digest = 0;  // the first 8 bytes of the SHA-256
    std::uint32_t owner = 0;   // interned account texts
    std::uint32_t group = 0;
    std::uint16_t mode = 0;
    std::uint16_t links = 0;
    std::uint8_t volume = 0;  // interned
    std::uint8_t flags = 0;
  };
  static_assert(sizeof(TRecord) == 48);

  TRecord& At(TRecordIndex index);
  bool InDigestDir(std::string_view key) const;
  std::uint32_t Intern(const std::string& text);
  std::uint8_t InternVolume(std::uint64_t volume);
  void Queue(TRecordIndex index, TRecord& record);
  void AddLine(TRecordIndex index, std::string line);
  void QueuePeriodicSlice(const TFileCatalogue& catalogue);
  void FinishDigest(TRecordIndex index, const std::string& key, const TSha256Digest& digest);
  std::string IdentityText(std::uint8_t volume, std::uint64_t file_id) const;

  TPathRules rules_;
  TClock now_;
  TDeepOptions options_;
  std::vector<TRecord> records_;  // by catalogue index
  std::vector<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t> text_numbers_;
  std::vector<std::uint64_t> volumes_;
  std::deque<TRecordIndex> queue_;
  TContentDigest reading_;
  TRecordIndex reading_index_ = 0;
  bool reading_open_ = false;
  // The periodic check: how far it came through the records, and when.
  std::size_t periodic_cursor_ = 0;
  std::chrono::steady_clock::time_point periodic_last_{};
  bool periodic_started_ = false;
  // Lines found since the last report, by file, in the order found.
  std::vector<std::pair<TRecordIndex, std::string>> lines_;
  bool dirty_ = false;
};

}  // namespace warderon
