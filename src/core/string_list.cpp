#include "core/string_list.h"

#include <algorithm>

#include "core/text_case.h"

namespace warderon {

std::size_t TStringList::UpperBound(const std::string& folded) const {
  const auto it = std::upper_bound(
      entries_.begin(), entries_.end(), folded,
      [](const std::string& key, const TEntry& entry) { return key < entry.folded; });
  return static_cast<std::size_t>(it - entries_.begin());
}

std::size_t TStringList::Add(std::string text, std::unique_ptr<TListRecord> record) {
  std::string folded = FoldCase(text);
  const std::size_t index = sorted_ ? UpperBound(folded) : entries_.size();
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index),
                  TEntry{std::move(text), std::move(folded), std::move(record)});
  return index;
}

void TStringList::AddMany(std::vector<std::string> texts) {
  const auto old_size = static_cast<std::ptrdiff_t>(entries_.size());
  entries_.reserve(entries_.size() + texts.size());
  for (std::string& text : texts) {
    std::string folded = FoldCase(text);
    entries_.push_back(TEntry{std::move(text), std::move(folded), nullptr});
  }
  if (!sorted_) return;
  const auto by_folded = [](const TEntry& a, const TEntry& b) { return a.folded < b.folded; };
  // Stable: equal new entries keep their order, and follow equal old ones.
  std::stable_sort(entries_.begin() + old_size, entries_.end(), by_folded);
  std::inplace_merge(entries_.begin(), entries_.begin() + old_size, entries_.end(), by_folded);
}

void TStringList::Assign(std::vector<std::string> texts) {
  entries_.clear();
  entries_.reserve(texts.size());
  for (std::string& text : texts) {
    std::string folded = FoldCase(text);
    entries_.push_back(TEntry{std::move(text), std::move(folded), nullptr});
  }
  if (sorted_) {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const TEntry& a, const TEntry& b) { return a.folded < b.folded; });
  }
}

std::optional<std::size_t> TStringList::Find(std::string_view text) const {
  const std::string folded = FoldCase(text);
  if (sorted_) {
    const auto it = std::lower_bound(
        entries_.begin(), entries_.end(), folded,
        [](const TEntry& entry, const std::string& key) { return entry.folded < key; });
    if (it != entries_.end() && it->folded == folded) {
      return static_cast<std::size_t>(it - entries_.begin());
    }
    return std::nullopt;
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].folded == folded) return i;
  }
  return std::nullopt;
}

void TStringList::Delete(std::size_t index) {
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::vector<std::string> TStringList::Texts() const {
  std::vector<std::string> texts;
  texts.reserve(entries_.size());
  for (const TEntry& entry : entries_) texts.push_back(entry.text);
  return texts;
}

}  // namespace warderon
