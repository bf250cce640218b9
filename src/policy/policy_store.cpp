#include "policy/policy_store.h"

#include <bit>
#include <cstdio>

#include "core/text_case.h"

namespace warderon {

std::vector<std::uint8_t> EncodePolicyFloat(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  std::vector<std::uint8_t> bytes(8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  return bytes;
}

double DecodePolicyFloat(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 8 && i < bytes.size(); ++i) {
    bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return std::bit_cast<double>(bits);
}

void TPolicyStore::NoteReport(const std::string& key, const std::string& subject,
                              const std::string& text) {
  const std::lock_guard lock(reports_mutex_);
  if (!reported_.insert(FoldCase(key)).second) return;
  pending_reports_.push_back({subject, text});
}

void TPolicyStore::NoteWrongType(const std::string& section, const std::string& name,
                                 TPolicyValueType found, const char* wanted,
                                 const std::string& default_text) {
  NoteReport(section + "\\" + name, "setting of the wrong type",
             "value \"" + name + "\" of section \"" + section + "\" has type " +
                 PolicyValueTypeName(found) + " where " + wanted + " is expected; the default " +
                 default_text + " is used");
}

std::vector<TPolicyStore::TSettingReport> TPolicyStore::TakeSettingReports() {
  const std::lock_guard lock(reports_mutex_);
  std::vector<TSettingReport> reports;
  reports.swap(pending_reports_);
  return reports;
}

std::optional<std::size_t> TPolicyStore::ReadPolicyChoice(const std::string& section,
                                                          const std::string& name,
                                                          const std::vector<std::string>& choices,
                                                          std::size_t default_index,
                                                          const std::string& instead_text) {
  const std::string text = ReadPolicyString(section, name, choices.at(default_index));
  const std::string folded = FoldCase(text);
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (folded == FoldCase(choices[i])) return i;
  }
  std::string known;
  for (const std::string& choice : choices) known += (known.empty() ? "" : ", ") + choice;
  // Keyed by the text too: an administrator's next mistake is said again.
  NoteReport(section + "\\" + name + "\n" + text, "setting with an unknown choice",
             "value \"" + name + "\" of section \"" + section + "\" is \"" + text +
                 "\", which is none of " + known + "; " + instead_text);
  return std::nullopt;
}

bool TPolicyStore::OpenSection(const std::string& section) {
  try {
    backend_.CreateSection(section);
    return true;
  } catch (const TPolicyError&) {
    return false;
  }
}

std::string TPolicyStore::ReadPolicyString(const std::string& section, const std::string& name,
                                           const std::string& default_value) {
  if (!OpenSection(section)) return {};
  std::optional<TPolicyValue> value;
  try {
    value = backend_.ReadValue(section, name);
  } catch (const TPolicyError&) {
    return default_value;
  }
  if (value) {
    const bool is_text =
        value->type == TPolicyValueType::Text || value->type == TPolicyValueType::ExpandText;
    if (is_text) return value->text;
    NoteWrongType(section, name, value->type, "a string", "\"" + default_value + "\"");
    return default_value;
  }
  backend_.WriteValue(section, name, TPolicyValue::MakeText(default_value));
  return default_value;
}

std::int32_t TPolicyStore::ReadPolicyInteger(const std::string& section, const std::string& name,
                                             std::int32_t default_value) {
  try {
    if (!OpenSection(section)) return default_value;
    const std::optional<TPolicyValue> value = backend_.ReadValue(section, name);
    if (value) {
      if (value->type == TPolicyValueType::Integer) return value->integer;
      NoteWrongType(section, name, value->type, "an integer", std::to_string(default_value));
      return default_value;
    }
    backend_.WriteValue(section, name, TPolicyValue::MakeInteger(default_value));
  } catch (const TPolicyError&) {
    // Settings reads never fail for the caller.
  }
  return default_value;
}

bool TPolicyStore::ReadPolicyBool(const std::string& section, const std::string& name,
                                  bool default_value) {
  return ReadPolicyInteger(section, name, default_value ? 1 : 0) != 0;
}

double TPolicyStore::ReadPolicyFloat(const std::string& section, const std::string& name,
                                     double default_value) {
  if (!OpenSection(section)) return default_value;
  const std::optional<TPolicyValue> value = backend_.ReadValue(section, name);
  if (value) {
    if (value->type != TPolicyValueType::Binary || value->binary.size() != 8) {
      // Like every setting of the wrong type: the default, reported once. A
      // failure here would end every cycle before the modules after it.
      char shown[32];
      std::snprintf(shown, sizeof shown, "%g", default_value);
      NoteWrongType(section, name, value->type, "an 8-byte floating point number", shown);
      return default_value;
    }
    return DecodePolicyFloat(value->binary);
  }
  backend_.WriteValue(section, name, TPolicyValue::MakeBinary(EncodePolicyFloat(default_value)));
  return default_value;
}

TPolicyValueType TPolicyStore::GetPolicyValueType(const std::string& section,
                                                  const std::string& name) {
  try {
    if (!OpenSection(section)) return TPolicyValueType::Unknown;
    const std::optional<TPolicyValue> value = backend_.ReadValue(section, name);
    return value ? value->type : TPolicyValueType::Unknown;
  } catch (const TPolicyError&) {
    return TPolicyValueType::Unknown;
  }
}

void TPolicyStore::WritePolicyString(const std::string& section, const std::string& name,
                                     const std::string& text) {
  try {
    if (!OpenSection(section)) return;
    backend_.RunAtomically([&] {
      backend_.DeleteValue(section, name);
      backend_.WriteValue(section, name, TPolicyValue::MakeText(text));
    });
  } catch (const TPolicyError&) {
    // Text writes are best effort by design (journal entries, checksums).
  }
}

void TPolicyStore::WritePolicyInteger(const std::string& section, const std::string& name,
                                      std::int32_t value) {
  if (!OpenSection(section)) return;
  // Atomic so that a failed write never leaves the old value deleted.
  backend_.RunAtomically([&] {
    backend_.DeleteValue(section, name);
    backend_.WriteValue(section, name, TPolicyValue::MakeInteger(value));
  });
}

void TPolicyStore::WritePolicyBool(const std::string& section, const std::string& name,
                                   bool value) {
  WritePolicyInteger(section, name, value ? 1 : 0);
}

void TPolicyStore::WritePolicyFloat(const std::string& section, const std::string& name,
                                    double value) {
  if (!OpenSection(section)) return;
  backend_.WriteValue(section, name, TPolicyValue::MakeBinary(EncodePolicyFloat(value)));
}

void TPolicyStore::DeletePolicySection(const std::string& section) {
  backend_.CreateSection("");
  backend_.DeleteSection(section);
}

}  // namespace warderon
