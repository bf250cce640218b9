// The file monitor's catalogue: one record per file path, built for a
// million files. A path is held once per directory: directories live in
// one table, each record holds its directory's number and its own name,
// and names and directory paths lie in large chunks of text. Records live
// in one deque, and an open-addressing hash index of the whole path finds
// them; the sorted order is made only when it is needed (saving,
// reporting). Keys compare as the platform's paths do (Windows: ignoring
// case; Linux: exactly).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitors/files/slot_index.h"
#include "platform/files/path_rules.h"

namespace warderon {

constexpr std::uint32_t kFileDataSignature = 852761227;  // 32D41A8B

enum TChangeKind : std::uint8_t {
  kNoChange = 0,
  kDamaged = 1,
  kNewFile = 2,
  kErased = 3,
  kTimeChanged = 4,
  kSizeChanged = 5,
};

// One catalogued file. Laid out to take 40 bytes: a million of them must
// stay small. What a change replaced is kept by the monitor, for the few
// files that changed in a cycle.
struct FileData {
  double FileTime = 0.0;
  std::int64_t FileSize = 0;   // sizes of 2 GiB and more are held whole
  std::uint32_t LastSeen = 0;  // ScanCount of the last visit; 0: never visited
  std::uint32_t Signature = kFileDataSignature;
  std::uint32_t directory = 0;  // its directory's number in the directory table
  std::uint32_t name_chunk = 0;
  std::uint32_t name_offset = 0;
  // kLongKey: the name's length stands in the 4 bytes before its text.
  std::uint16_t name_length = 0;
  std::uint8_t ChangeKind = kNoChange;
  bool live = true;
};
static_assert(sizeof(FileData) == 40);

using TRecordIndex = std::uint32_t;

class TFileCatalogue {
 public:
  explicit TFileCatalogue(TPathRules rules);

  std::optional<TRecordIndex> Find(std::string_view key) const;
  // Adds a record under a key that is not in the catalogue yet.
  TRecordIndex Add(std::string_view key);
  // Takes the record out; its index may be reused by a later Add.
  void Remove(TRecordIndex index);
  void Clear();

  FileData& Record(TRecordIndex index) { return records_[index]; }
  const FileData& Record(TRecordIndex index) const { return records_[index]; }
  // The whole path, and its two parts: the directory (up to and with its
  // last separator) and the name.
  std::string Key(TRecordIndex index) const;
  void AppendKey(TRecordIndex index, std::string& out) const;
  std::string_view Directory(TRecordIndex index) const;
  std::string_view Name(TRecordIndex index) const;
  std::size_t Count() const { return live_count_; }
  // One past the highest index a record has had (live or not).
  std::size_t Slots() const { return records_.size(); }

  // Every live record, in storage order.
  template <class TVisit>
  void ForEach(TVisit visit) {
    for (TRecordIndex i = 0; i < records_.size(); ++i) {
      if (records_[i].live) visit(i, records_[i]);
    }
  }
  // The live records in catalogue order (by key, as the platform sorts paths).
  // The order is kept between calls: only keys added since are sorted and
  // merged in (a removal sorts anew), so a cycle that changed a few files
  // does not sort a million keys to save them.
  const std::vector<TRecordIndex>& SortedIndices() const;
  bool KeyLess(TRecordIndex a, TRecordIndex b) const;

  // Reads a catalogue file; entries that cannot be read (a size or time
  // that is not a finite number, an over-long or badly escaped key) are
  // skipped, the first of two equal keys stays. Nothing when the file does
  // not exist. Raises std::runtime_error when it exists but cannot be
  // opened or read; the catalogue then holds what was read.
  void Load(const std::string& path);
  // Whether the last Load read a catalogue whole, as Save writes it (no line
  // skipped, none twice, in order): saving it unchanged would write the same.
  bool LoadedAsSaved() const { return loaded_as_saved_; }
  // Writes the catalogue file in catalogue order, atomically. Raises
  // std::runtime_error naming the reason when it could not be written; the
  // old file is then intact.
  void Save(const std::string& path) const;

  // Memory the catalogue holds, for the benchmark.
  std::size_t MemoryBytes() const;

 private:
  bool loaded_as_saved_ = false;
  // A directory path, shared by the records of its files.
  struct TDirectory {
    std::uint32_t chunk = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t files = 0;  // 0: free, its number may be reused
  };
  struct TTextPlace {
    std::uint32_t chunk;
    std::uint32_t offset;
  };

  std::uint64_t Hash(std::string_view key) const;
  bool KeysEqual(std::string_view a, std::string_view b) const;
  bool KeyIs(TRecordIndex index, std::string_view key) const;
  TTextPlace StoreText(std::string_view text);
  void StoreName(std::string_view name, FileData& record);
  std::uint32_t DirectoryNumber(std::string_view directory);
  void ReleaseDirectory(std::uint32_t number);
  std::string_view DirectoryText(std::uint32_t number) const;
  std::size_t NameBytes(const FileData& record) const;
  std::size_t SplitAt(std::string_view key) const;
  void CompactIfWasteful();

  TPathRules rules_;
  std::deque<FileData> records_;
  std::vector<TRecordIndex> free_;
  std::vector<TDirectory> directories_;
  std::vector<std::uint32_t> free_directories_;
  TSlotIndex directory_index_;  // by exact text
  std::uint32_t last_directory_ = ~0U;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::vector<std::size_t> chunk_sizes_;
  std::size_t chunk_used_ = 0;
  std::size_t dead_text_bytes_ = 0;
  std::size_t live_text_bytes_ = 0;
  TSlotIndex index_;  // by the whole path, as the platform compares paths
  std::size_t live_count_ = 0;
  mutable std::vector<TRecordIndex> sorted_;
  mutable bool sorted_valid_ = false;
  mutable std::vector<TRecordIndex> added_;  // since sorted_ was made
  mutable std::string scratch_a_;            // whole keys, when they must be compared whole
  mutable std::string scratch_b_;
};

// Keys longer than this are refused (Add raises std::length_error).
constexpr std::size_t kMaxCatalogueKey = std::size_t{1} << 24;

// A key line of the catalogue file. Keys without control characters are
// written as they are (the format of every earlier release); a key holding
// one (a file named with a line break) is written as a tab, then the key
// with "%" and each control character as "%" and two hexadecimal digits,
// so that every entry stays on its three lines.
std::string CatalogueKeyLine(std::string_view key);
void AppendCatalogueKeyLine(std::string_view key, std::string& line);
// The key of a key line; nothing when an escaped line is malformed.
std::optional<std::string> CatalogueKeyFromLine(std::string_view line);

// The 23-character form of a day number in the catalogue file: a sign
// character (blank or "-"), d.dddddddddddddd, "E", the exponent's sign and
// four digits.
std::string FormatCatalogueTime(double value);
void AppendCatalogueTime(double value, std::string& out);

}  // namespace warderon
