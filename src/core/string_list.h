// An ordered list of texts, optionally kept sorted, with letter case ignored
// in sorting and lookup. Each entry may own one record, freed with the entry.
// The monitors keep most of their state in such lists.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace warderon {

// Base of the records that list entries own.
class TListRecord {
 public:
  virtual ~TListRecord() = default;
};

class TStringList {
 public:
  explicit TStringList(bool sorted = false) : sorted_(sorted) {}

  bool Sorted() const { return sorted_; }
  std::size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }
  const std::string& Text(std::size_t index) const { return entries_.at(index).text; }
  TListRecord* Record(std::size_t index) const { return entries_.at(index).record.get(); }
  template <class TRecord>
  TRecord* RecordAs(std::size_t index) const {
    return static_cast<TRecord*>(Record(index));
  }

  // Appends, or inserts at the sort position (after equal entries) when
  // sorted. Returns the entry's index.
  std::size_t Add(std::string text, std::unique_ptr<TListRecord> record = nullptr);
  // Adds every text as Add would, one after the other, but in
  // O((n + k) log(n + k)) instead of one insertion each: large baselines
  // (a group gaining 100,000 members) stay fast.
  void AddMany(std::vector<std::string> texts);
  // Replaces the whole content; a sorted list sorts once instead of
  // inserting one by one.
  void Assign(std::vector<std::string> texts);
  // Index of an entry equal to text ignoring case: by bisection when sorted,
  // else the first in list order.
  std::optional<std::size_t> Find(std::string_view text) const;
  void Delete(std::size_t index);
  void Clear() { entries_.clear(); }
  std::vector<std::string> Texts() const;

 private:
  struct TEntry {
    std::string text;
    std::string folded;
    std::unique_ptr<TListRecord> record;
  };

  std::size_t UpperBound(const std::string& folded) const;

  bool sorted_;
  std::vector<TEntry> entries_;
};

}  // namespace warderon
