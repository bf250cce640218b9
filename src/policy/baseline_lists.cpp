#include "policy/baseline_lists.h"

#include <algorithm>
#include <iterator>
#include <list>
#include <string_view>
#include <unordered_map>

#include "core/text_case.h"
#include "policy/baseline_checksum.h"

namespace warderon {
namespace {

// The text an entry contributes to the checksum: REG_SZ text, REG_DWORD in
// decimal, anything else (expandable text included) empty.
std::string ChecksumValueText(const TPolicyValue& value) {
  switch (value.type) {
    case TPolicyValueType::Text:
      return value.text;
    case TPolicyValueType::Integer:
      return std::to_string(value.integer);
    default:
      return {};
  }
}

// The values read by a load, by their exact names: the list's entries are
// those very names, so no case folding is needed to find them again.
class TValueIndex {
 public:
  explicit TValueIndex(const std::vector<TPolicyNamedValue>& values) {
    index_.reserve(values.size());
    for (const TPolicyNamedValue& value : values) index_.emplace(value.name, &value.value);
  }
  const TPolicyValue* Find(const std::string& name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : it->second;
  }

 private:
  std::unordered_map<std::string_view, const TPolicyValue*> index_;
};

// A section's values as a series of delete-then-write operations leaves them.
class TSectionImage {
 public:
  void Write(const std::string& name, TPolicyValue value) {
    std::string folded = FoldCase(name);
    if (const auto it = index_.find(folded); it != index_.end()) {
      values_.erase(it->second);
      index_.erase(it);
    }
    values_.push_back({name, std::move(value)});
    index_.emplace(std::move(folded), std::prev(values_.end()));
  }
  std::vector<TPolicyNamedValue> TakeValues() {
    return {std::make_move_iterator(values_.begin()), std::make_move_iterator(values_.end())};
  }

 private:
  std::list<TPolicyNamedValue> values_;
  std::unordered_map<std::string, std::list<TPolicyNamedValue>::iterator> index_;
};

}  // namespace

std::vector<TPolicyNamedValue> TBaselineLists::LoadAndVerify(const std::string& section,
                                                             TStringList& list) {
  TPolicyBackend& backend = store_.Backend();
  backend.CreateSection(section);
  std::vector<TPolicyNamedValue> values = backend.ReadSection(section);
  std::vector<std::string> names;
  names.reserve(values.size());
  for (const TPolicyNamedValue& value : values) names.push_back(value.name);
  list.Assign(std::move(names));
  if (list.Empty()) return values;

  const TValueIndex index(values);
  bool repair = false;
  std::optional<std::string> stored;
  if (const auto default_entry = list.Find("")) {
    list.Delete(*default_entry);
    const TPolicyValue* seal = index.Find("");
    const bool is_text = seal != nullptr && (seal->type == TPolicyValueType::Text ||
                                             seal->type == TPolicyValueType::ExpandText);
    stored = is_text ? seal->text : "format error";
  } else {
    if (!cycle_.NewInstall) {
      alerts_.SendAlert(kAlertIntegrity, "missing checksum for " + section,
                        "missing checksum for " + section);
    }
    repair = true;
  }

  TBaselineChecksum checksum;
  checksum.ChecksumBegin();
  checksum.ChecksumAppend(UpperAscii(section));
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string& name = list.Text(i);
    const TPolicyValue* value = index.Find(name);
    checksum.ChecksumAppend(name + "=" + (value != nullptr ? ChecksumValueText(*value) : ""));
  }
  const std::string computed = checksum.ChecksumFinish();

  if (stored && *stored != computed) {
    if (!cycle_.NewInstall) {
      alerts_.SendAlert(
          kAlertIntegrity, "checksum failed for " + section,
          "checksum failed for " + section + "\r\nsuspect data, or data from an earlier version");
    }
    repair = true;
  }
  if (repair) store_.WritePolicyString(section, "", computed);
  return values;
}

void TBaselineLists::LoadBaselineList(const std::string& section, TStringList& list) {
  LoadAndVerify(section, list);
}

void TBaselineLists::LoadBaselineValues(const std::string& section, TStringList& list) {
  const std::vector<TPolicyNamedValue> values = LoadAndVerify(section, list);
  // The values read by the load serve again: the worker is the only writer,
  // so a second read per value would return the same data.
  const TValueIndex index(values);
  std::vector<std::string> entries;
  entries.reserve(list.Count());
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string& name = list.Text(i);
    const TPolicyValue* value = index.Find(name);
    std::string text;
    if (value != nullptr && value->type == TPolicyValueType::Text) text = value->text;
    if (value != nullptr && value->type == TPolicyValueType::Integer) {
      text = std::to_string(value->integer);
    }
    entries.push_back(name + "=" + text);
  }
  list.Assign(std::move(entries));
}

std::vector<TBaselineLists::TNamedText> TBaselineLists::LoadBaselinePairs(
    const std::string& section, bool sorted) {
  TStringList list(sorted);
  const std::vector<TPolicyNamedValue> values = LoadAndVerify(section, list);
  const TValueIndex index(values);
  std::vector<TNamedText> entries;
  entries.reserve(list.Count());
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const TPolicyValue* value = index.Find(list.Text(i));
    std::string text;
    if (value != nullptr && value->type == TPolicyValueType::Text) text = value->text;
    if (value != nullptr && value->type == TPolicyValueType::Integer) {
      text = std::to_string(value->integer);
    }
    entries.push_back({list.Text(i), std::move(text)});
  }
  return entries;
}

void TBaselineLists::SaveBaselineList(const std::string& section, const TStringList& list) {
  std::vector<TNamedText> entries;
  entries.reserve(list.Count());
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string& entry = list.Text(i);
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
      entries.push_back({entry, std::nullopt});
    } else {
      entries.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
    }
  }
  SaveBaselinePairs(section, std::move(entries), list.Sorted());
}

void TBaselineLists::SaveBaselineKeys(const std::string& section, const TStringList& list) {
  std::vector<TNamedText> entries;
  entries.reserve(list.Count());
  for (std::size_t i = 0; i < list.Count(); ++i) entries.push_back({list.Text(i), std::nullopt});
  SaveBaselinePairs(section, std::move(entries), list.Sorted());
}

void TBaselineLists::SaveBaselinePairs(const std::string& section, std::vector<TNamedText> entries,
                                       bool sorted) {
  // A load of a sorted list orders the names, and seals in that order: the
  // save seals in the same one, or "App" beside "App2" (whose "2" sorts
  // below "=") would fail its own checksum at the next start.
  if (sorted) {
    std::vector<std::pair<std::string, TNamedText>> keyed;
    keyed.reserve(entries.size());
    for (TNamedText& entry : entries) {
      std::string folded = FoldCase(entry.name);
      keyed.emplace_back(std::move(folded), std::move(entry));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    entries.clear();
    for (auto& [folded, entry] : keyed) entries.push_back(std::move(entry));
  }
  // The section is rebuilt from nothing: each entry is written as a new
  // value (replacing an earlier entry of the same name, which then moves to
  // the end), and the checksum is written last. The outcome is computed here
  // and stored in one rewrite, so a crash never leaves half a baseline.
  TSectionImage image;
  TBaselineChecksum checksum;
  checksum.ChecksumBegin();
  checksum.ChecksumAppend(UpperAscii(section));
  for (const TNamedText& entry : entries) {
    if (entry.name.empty()) continue;
    if (entry.text) {
      image.Write(entry.name, TPolicyValue::MakeText(*entry.text));
      checksum.ChecksumAppend(entry.name + "=" + *entry.text);
    } else {
      image.Write(entry.name, TPolicyValue::MakeInteger(1));
      checksum.ChecksumAppend(entry.name + "=1");
    }
  }
  image.Write("", TPolicyValue::MakeText(checksum.ChecksumFinish()));
  store_.Backend().CreateSection("");
  store_.Backend().RewriteSection(section, image.TakeValues());
}

}  // namespace warderon
