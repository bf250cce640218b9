#include "policy/baseline_lists.h"

#include <unordered_map>

#include "platform/text_case.h"
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

class TValueIndex {
 public:
  explicit TValueIndex(const std::vector<TPolicyNamedValue>& values) : values_(values) {
    index_.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) index_.emplace(FoldCase(values[i].name), i);
  }
  const TPolicyValue* Find(const std::string& name) const {
    const auto it = index_.find(FoldCase(name));
    return it == index_.end() ? nullptr : &values_[it->second].value;
  }

 private:
  const std::vector<TPolicyNamedValue>& values_;
  std::unordered_map<std::string, std::size_t> index_;
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

void TBaselineLists::SaveBaselineList(const std::string& section, const TStringList& list) {
  store_.Backend().RunAtomically([&] {
    store_.DeletePolicySection(section);
    TBaselineChecksum checksum;
    checksum.ChecksumBegin();
    checksum.ChecksumAppend(UpperAscii(section));
    for (std::size_t i = 0; i < list.Count(); ++i) {
      const std::string& entry = list.Text(i);
      if (entry.empty()) continue;
      const auto equals = entry.find('=');
      if (equals != std::string::npos) {
        const std::string name = entry.substr(0, equals);
        const std::string value = entry.substr(equals + 1);
        store_.WritePolicyString(section, name, value);
        checksum.ChecksumAppend(name + "=" + value);
      } else {
        store_.WritePolicyInteger(section, entry, 1);
        checksum.ChecksumAppend(entry + "=1");
      }
    }
    store_.WritePolicyString(section, "", checksum.ChecksumFinish());
  });
}

}  // namespace warderon
