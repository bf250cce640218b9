#include "monitors/files/file_catalogue.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "core/text.h"
#include "core/text_case.h"
#include "platform/files/atomic_file.h"
#include "platform/files/directory_search.h"

namespace warderon {
namespace {

constexpr std::size_t kChunkSize = 1 << 20;
constexpr std::uint16_t kLongKey = 0xFFFF;
constexpr std::size_t kLengthPrefix = sizeof(std::uint32_t);
constexpr char kEscapedKeyMark = '\t';

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;

// Eight bytes at a time: a path is hashed for every file of every scan.
std::uint64_t HashBytes(const char* data, std::size_t size) {
  std::uint64_t hash = 0x243F6A8885A308D3ULL ^ size;
  while (size >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, 8);
    hash = ((hash ^ word) * kMultiplier);
    hash ^= hash >> 29;
    data += 8;
    size -= 8;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, data, size);
  hash = (hash ^ tail) * kMultiplier;
  hash ^= hash >> 32;
  hash *= kMultiplier;
  return hash ^ (hash >> 29);
}

// Reads a file line by line through one buffer, so a large catalogue never
// sits in memory twice.
class TLineReader {
 public:
  explicit TLineReader(std::FILE* file) : file_(file), buffer_(1 << 20) {}
  // The next line without its CR LF; false at the end of the file.
  bool Next(std::string& line) {
    line.clear();
    for (;;) {
      if (position_ == end_) {
        end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        position_ = 0;
        if (end_ == 0) {
          if (line.empty() && !pending_) return false;
          pending_ = false;
          return true;
        }
      }
      const char* start = buffer_.data() + position_;
      const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - position_));
      if (newline == nullptr) {
        line.append(start, end_ - position_);
        position_ = end_;
        pending_ = true;
        continue;
      }
      line.append(start, static_cast<std::size_t>(newline - start));
      position_ += static_cast<std::size_t>(newline - start) + 1;
      pending_ = false;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
  }

 private:
  std::FILE* file_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  bool pending_ = false;
};

struct TFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::optional<std::int64_t> ParseSize(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::int64_t size = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), size);
  if (error != std::errc() || end == line.data()) return std::nullopt;
  return size;
}

std::optional<double> ParseTime(std::string_view line) {
  // "nan" and "inf" are numbers to from_chars, but no file time.
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  const auto token_end = line.find_first_of(" \t");
  std::string_view token = line.substr(0, token_end);
  if (token.empty() || token.size() > 64) return std::nullopt;
  if (token.front() == '+') token.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

void AppendCatalogueKeyLine(std::string_view key, std::string& line) {
  if (std::none_of(key.begin(), key.end(), [](char c) { return IsControlCharacter(c); })) {
    line.append(key);
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  line += kEscapedKeyMark;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsControlCharacter(c) || c == '%') {
      line += '%';
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += c;
    }
  }
}

std::string CatalogueKeyLine(std::string_view key) {
  std::string line;
  AppendCatalogueKeyLine(key, line);
  return line;
}

std::optional<std::string> CatalogueKeyFromLine(std::string_view line) {
  if (line.empty() || line.front() != kEscapedKeyMark) return std::string(line);
  std::string key;
  key.reserve(line.size());
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] != '%') {
      key += line[i];
      continue;
    }
    if (i + 2 >= line.size()) return std::nullopt;
    const int high = HexValue(line[i + 1]);
    const int low = HexValue(line[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    key += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return key;
}

void AppendCatalogueTime(double value, std::string& out) {
  if (!std::isfinite(value)) value = 0.0;  // never stored; kept from reaching the format
  // d.dddddddddddddde+xx, as printf's %.14E writes it (to_chars is exact
  // too, and several times faster: a million of these go into every save).
  char digits[40];
  const auto written = std::to_chars(digits, digits + sizeof digits, value < 0 ? -value : value,
                                     std::chars_format::scientific, 14);
  const std::string_view text(digits, static_cast<std::size_t>(written.ptr - digits));
  const auto e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                  exponent);
  const int magnitude = exponent < 0 ? -exponent : exponent;
  char tail[6] = {'E',
                  exponent < 0 ? '-' : '+',
                  static_cast<char>('0' + magnitude / 1000 % 10),
                  static_cast<char>('0' + magnitude / 100 % 10),
                  static_cast<char>('0' + magnitude / 10 % 10),
                  static_cast<char>('0' + magnitude % 10)};
  out += value < 0 ? '-' : ' ';
  out.append(text.substr(0, e));
  out.append(tail, sizeof tail);
}

std::string FormatCatalogueTime(double value) {
  std::string text;
  AppendCatalogueTime(value, text);
  return text;
}

TFileCatalogue::TFileCatalogue(TPathRules rules) : rules_(rules) {}

std::uint64_t TFileCatalogue::Hash(std::string_view key) const {
  if (rules_.case_sensitive) return HashBytes(key.data(), key.size());
  std::string folded;
  if (IsAscii(key)) {
    folded.resize(key.size());
    std::transform(key.begin(), key.end(), folded.begin(), LowerAscii);
  } else {
    folded = FoldCase(key);
    std::transform(folded.begin(), folded.end(), folded.begin(), LowerAscii);
  }
  return HashBytes(folded.data(), folded.size());
}

bool TFileCatalogue::KeysEqual(std::string_view a, std::string_view b) const {
  if (rules_.case_sensitive) return a == b;
  if (IsAscii(a) && IsAscii(b)) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return LowerAscii(x) == LowerAscii(y);
           });
  }
  return FoldCase(a) == FoldCase(b);
}

std::string_view TFileCatalogue::Name(TRecordIndex index) const {
  const FileData& record = records_[index];
  const char* place = chunks_[record.name_chunk].get() + record.name_offset;
  if (record.name_length != kLongKey) return {place, record.name_length};
  std::uint32_t length = 0;
  std::memcpy(&length, place, kLengthPrefix);
  return {place + kLengthPrefix, length};
}

std::string_view TFileCatalogue::DirectoryText(std::uint32_t number) const {
  const TDirectory& directory = directories_[number];
  return {chunks_[directory.chunk].get() + directory.offset, directory.length};
}

std::string_view TFileCatalogue::Directory(TRecordIndex index) const {
  return DirectoryText(records_[index].directory);
}

void TFileCatalogue::AppendKey(TRecordIndex index, std::string& out) const {
  out.append(Directory(index));
  out.append(Name(index));
}

std::string TFileCatalogue::Key(TRecordIndex index) const {
  std::string key;
  AppendKey(index, key);
  return key;
}

bool TFileCatalogue::KeyIs(TRecordIndex index, std::string_view key) const {
  const std::string_view directory = Directory(index);
  const std::string_view name = Name(index);
  if (rules_.case_sensitive) {
    return key.size() == directory.size() + name.size() && key.starts_with(directory) &&
           key.substr(directory.size()) == name;
  }
  scratch_a_.clear();
  AppendKey(index, scratch_a_);
  return KeysEqual(scratch_a_, key);
}

std::size_t TFileCatalogue::NameBytes(const FileData& record) const {
  if (record.name_length != kLongKey) return record.name_length;
  std::uint32_t length = 0;
  std::memcpy(&length, chunks_[record.name_chunk].get() + record.name_offset, kLengthPrefix);
  return kLengthPrefix + length;
}

std::size_t TFileCatalogue::SplitAt(std::string_view key) const {
  const std::size_t end = key.find_last_of(rules_.directory_ends);
  return end == std::string_view::npos ? 0 : end + 1;
}

std::optional<TRecordIndex> TFileCatalogue::Find(std::string_view key) const {
  return index_.Find(Hash(key), [&](TRecordIndex index) { return KeyIs(index, key); });
}

TFileCatalogue::TTextPlace TFileCatalogue::StoreText(std::string_view text) {
  if (chunks_.empty() || chunk_used_ + text.size() > chunk_sizes_.back()) {
    const std::size_t size = std::max(kChunkSize, text.size());
    chunks_.push_back(std::make_unique<char[]>(size));
    chunk_sizes_.push_back(size);
    chunk_used_ = 0;
  }
  const TTextPlace place{static_cast<std::uint32_t>(chunks_.size() - 1),
                         static_cast<std::uint32_t>(chunk_used_)};
  std::memcpy(chunks_.back().get() + chunk_used_, text.data(), text.size());
  chunk_used_ += text.size();
  live_text_bytes_ += text.size();
  return place;
}

void TFileCatalogue::StoreName(std::string_view name, FileData& record) {
  // Names of 64 KiB and more (a catalogue file's odd key) carry their
  // length in front.
  const bool is_long = name.size() >= kLongKey;
  TTextPlace place{};
  if (is_long) {
    std::string prefixed(kLengthPrefix, '\0');
    const auto length = static_cast<std::uint32_t>(name.size());
    std::memcpy(prefixed.data(), &length, kLengthPrefix);
    prefixed.append(name);
    place = StoreText(prefixed);
  } else {
    place = StoreText(name);
  }
  record.name_chunk = place.chunk;
  record.name_offset = place.offset;
  record.name_length = is_long ? kLongKey : static_cast<std::uint16_t>(name.size());
}

std::uint32_t TFileCatalogue::DirectoryNumber(std::string_view directory) {
  // Directories are told apart by their exact text: two spellings of one
  // Windows directory are two entries, and their files still compare as
  // the platform's paths do. A walk adds the files of one directory one
  // after another: the last directory is tried first.
  if (last_directory_ < directories_.size() && directories_[last_directory_].files != 0 &&
      DirectoryText(last_directory_) == directory) {
    ++directories_[last_directory_].files;
    return last_directory_;
  }
  const std::uint64_t hash = HashBytes(directory.data(), directory.size());
  if (const auto found = directory_index_.Find(
          hash, [&](std::uint32_t number) { return DirectoryText(number) == directory; })) {
    ++directories_[*found].files;
    last_directory_ = *found;
    return *found;
  }
  std::uint32_t number = 0;
  if (!free_directories_.empty()) {
    number = free_directories_.back();
    free_directories_.pop_back();
  } else {
    number = static_cast<std::uint32_t>(directories_.size());
    directories_.emplace_back();
  }
  const TTextPlace place = StoreText(directory);
  directories_[number] = {place.chunk, place.offset, static_cast<std::uint32_t>(directory.size()),
                          1};
  directory_index_.Insert(number, hash);
  last_directory_ = number;
  return number;
}

void TFileCatalogue::ReleaseDirectory(std::uint32_t number) {
  TDirectory& directory = directories_[number];
  if (--directory.files != 0) return;
  const std::string_view text = DirectoryText(number);
  directory_index_.Erase(number, HashBytes(text.data(), text.size()));
  dead_text_bytes_ += directory.length;
  live_text_bytes_ -= directory.length;
  free_directories_.push_back(number);
}

TRecordIndex TFileCatalogue::Add(std::string_view key) {
  if (key.size() > kMaxCatalogueKey) throw std::length_error("path longer than 16 MiB");
  TRecordIndex index = 0;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
    records_[index] = FileData{};
  } else {
    index = static_cast<TRecordIndex>(records_.size());
    records_.emplace_back();
  }
  const std::size_t split = SplitAt(key);
  FileData& record = records_[index];
  record.directory = DirectoryNumber(key.substr(0, split));
  StoreName(key.substr(split), record);
  index_.Insert(index, Hash(key));
  ++live_count_;
  if (sorted_valid_) added_.push_back(index);
  return index;
}

void TFileCatalogue::Remove(TRecordIndex index) {
  FileData& record = records_[index];
  if (!record.live) return;
  // Its index may come back with another key: the kept order is made anew.
  sorted_valid_ = false;
  added_.clear();
  index_.Erase(index, Hash(Key(index)));
  record.live = false;
  dead_text_bytes_ += NameBytes(record);
  live_text_bytes_ -= NameBytes(record);
  ReleaseDirectory(record.directory);
  free_.push_back(index);
  --live_count_;
  CompactIfWasteful();
}

void TFileCatalogue::CompactIfWasteful() {
  // Texts of removed records and directories stay in their chunks; copy the
  // live ones into fresh chunks once the dead ones outweigh them.
  if (dead_text_bytes_ < kChunkSize || dead_text_bytes_ < live_text_bytes_) return;
  std::vector<std::unique_ptr<char[]>> old_chunks = std::move(chunks_);
  chunks_.clear();
  chunk_sizes_.clear();
  chunk_used_ = 0;
  live_text_bytes_ = 0;
  dead_text_bytes_ = 0;
  for (std::uint32_t number = 0; number < directories_.size(); ++number) {
    TDirectory& directory = directories_[number];
    if (directory.files == 0) continue;
    const TTextPlace place = StoreText(
        std::string_view(old_chunks[directory.chunk].get() + directory.offset, directory.length));
    directory.chunk = place.chunk;
    directory.offset = place.offset;
  }
  for (FileData& record : records_) {
    if (!record.live) continue;
    const char* place = old_chunks[record.name_chunk].get() + record.name_offset;
    std::uint32_t length = record.name_length;
    if (record.name_length == kLongKey) {
      std::memcpy(&length, place, kLengthPrefix);
      place += kLengthPrefix;
    }
    StoreName(std::string_view(place, length), record);
  }
}

void TFileCatalogue::Clear() {
  records_.clear();
  free_.clear();
  directories_.clear();
  free_directories_.clear();
  directory_index_.Clear();
  chunks_.clear();
  chunk_sizes_.clear();
  chunk_used_ = 0;
  dead_text_bytes_ = 0;
  live_text_bytes_ = 0;
  index_.Clear();
  live_count_ = 0;
  sorted_.clear();
  sorted_.shrink_to_fit();
  sorted_valid_ = false;
  added_.clear();
}

bool TFileCatalogue::KeyLess(TRecordIndex a, TRecordIndex b) const {
  const FileData& first = records_[a];
  const FileData& second = records_[b];
  if (rules_.case_sensitive) {
    if (first.directory == second.directory) return Name(a) < Name(b);
    // The two paths compared piece by piece, as if whole.
    const std::string_view pieces_a[] = {DirectoryText(first.directory), Name(a)};
    const std::string_view pieces_b[] = {DirectoryText(second.directory), Name(b)};
    std::size_t piece_a = 0, piece_b = 0, at_a = 0, at_b = 0;
    for (;;) {
      while (piece_a < 2 && at_a == pieces_a[piece_a].size()) ++piece_a, at_a = 0;
      while (piece_b < 2 && at_b == pieces_b[piece_b].size()) ++piece_b, at_b = 0;
      if (piece_a == 2 || piece_b == 2) return piece_a == 2 && piece_b != 2;
      const std::size_t run =
          std::min(pieces_a[piece_a].size() - at_a, pieces_b[piece_b].size() - at_b);
      const int order =
          pieces_a[piece_a].substr(at_a, run).compare(pieces_b[piece_b].substr(at_b, run));
      if (order != 0) return order < 0;
      at_a += run;
      at_b += run;
    }
  }
  scratch_a_.clear();
  AppendKey(a, scratch_a_);
  scratch_b_.clear();
  AppendKey(b, scratch_b_);
  return CompareTextIgnoreCase(scratch_a_, scratch_b_) < 0;
}

const std::vector<TRecordIndex>& TFileCatalogue::SortedIndices() const {
  const auto less = [this](TRecordIndex a, TRecordIndex b) { return KeyLess(a, b); };
  if (!sorted_valid_) {
    sorted_.clear();
    sorted_.reserve(live_count_);
    for (TRecordIndex i = 0; i < records_.size(); ++i) {
      if (records_[i].live) sorted_.push_back(i);
    }
    std::sort(sorted_.begin(), sorted_.end(), less);
    sorted_valid_ = true;
  } else if (!added_.empty()) {
    std::sort(added_.begin(), added_.end(), less);
    const auto middle = static_cast<std::ptrdiff_t>(sorted_.size());
    sorted_.insert(sorted_.end(), added_.begin(), added_.end());
    std::inplace_merge(sorted_.begin(), sorted_.begin() + middle, sorted_.end(), less);
  }
  added_.clear();
  return sorted_;
}

std::size_t TFileCatalogue::MemoryBytes() const {
  std::size_t chunks = 0;
  for (const std::size_t size : chunk_sizes_) chunks += size;
  return records_.size() * sizeof(FileData) + index_.MemoryBytes() + chunks +
         (free_.capacity() + sorted_.capacity() + added_.capacity()) * sizeof(TRecordIndex) +
         directories_.capacity() * sizeof(TDirectory) +
         free_directories_.capacity() * sizeof(std::uint32_t) + directory_index_.MemoryBytes();
}

void TFileCatalogue::Load(const std::string& path) {
  Clear();
  loaded_as_saved_ = false;
  const std::unique_ptr<std::FILE, TFileCloser> file(OpenFileForReading(path));
  if (!file) {
    if (errno == ENOENT) return;  // no catalogue yet
    throw std::runtime_error("open the file catalogue '" + path +
                             "': " + std::generic_category().message(errno));
  }
  TLineReader reader(file.get());
  std::string key_line;
  std::string size_line;
  std::string time_line;
  // A catalogue is written in catalogue order: read in that order, it needs
  // no sorting before it is saved again.
  bool in_order = true;
  bool skipped = false;  // the last entry is torn
  bool lossy = false;
  std::optional<TRecordIndex> last;
  while (reader.Next(key_line)) {
    skipped = true;  // until the entry is taken
    if (!reader.Next(size_line)) break;
    const std::optional<std::int64_t> size = ParseSize(size_line);
    const bool has_time = reader.Next(time_line);
    const std::optional<double> time = has_time ? ParseTime(time_line) : std::nullopt;
    if (!size || !time || key_line.size() > kMaxCatalogueKey * 3) {
      lossy = true;  // what is saved differs from what was read
      continue;
    }
    const std::optional<std::string> key = CatalogueKeyFromLine(key_line);
    if (!key || key->empty() || key->size() > kMaxCatalogueKey) {
      lossy = true;  // what is saved differs from what was read
      continue;
    }
    const std::string utf8 = CatalogueTextToUtf8(*key);
    if (Find(utf8)) {  // the first of two equal keys stays
      lossy = true;    // what is saved differs from what was read
      continue;
    }
    const TRecordIndex index = Add(utf8);
    if (last && !KeyLess(*last, index)) in_order = false;
    last = index;
    FileData& record = records_[index];
    record.FileSize = *size;
    record.FileTime = *time;
    skipped = false;
  }
  if (in_order) {
    sorted_.resize(records_.size());
    for (TRecordIndex i = 0; i < records_.size(); ++i) sorted_[i] = i;
    sorted_valid_ = true;
    added_.clear();
  }
  if (std::ferror(file.get()) != 0) {
    throw std::runtime_error("read the file catalogue '" + path + "': input/output error");
  }
  loaded_as_saved_ = !skipped && !lossy && in_order;
}

void TFileCatalogue::Save(const std::string& path) const {
  const std::vector<TRecordIndex>& order = SortedIndices();
  WriteFileAtomically(path, [&](const TWriteText& write) {
    // Entries go out a few hundred at a time, built without an allocation each.
    std::string entries;
    entries.reserve(1 << 16);
    char size[24];
    std::string key;
    for (const TRecordIndex index : order) {
      const FileData& record = records_[index];
      key.clear();
      AppendKey(index, key);
      AppendCatalogueKeyLine(key, entries);
      entries += "\r\n";
      const auto end = std::to_chars(size, size + sizeof size, record.FileSize).ptr;
      entries.append(size, end);
      entries += "\r\n";
      AppendCatalogueTime(record.FileTime, entries);
      entries += "\r\n";
      if (entries.size() >= (1 << 16) - 4096) {
        write(entries);
        entries.clear();
      }
    }
    write(entries);
  });
}

}  // namespace warderon
