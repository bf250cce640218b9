// Typed access to the values of the policy subtree, with the system's rules:
// a read that finds a value absent writes the caller's default back, and the
// failure handling of each operation is fixed (see each one).
//
// The store keeps no state of its own between calls; thread safety is the
// backend's.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/store/policy_backend.h"

namespace warderon {

class TPolicyStore {
 public:
  explicit TPolicyStore(TPolicyBackend& backend) : backend_(backend) {}

  // The text of a REG_SZ or REG_EXPAND_SZ value (unexpanded). A value of
  // another type, or one that cannot be read, gives the default and stays
  // as it is. An absent value is written as the default text; a failure of
  // that write is raised. A section that cannot be opened gives empty text.
  std::string ReadPolicyString(const std::string& section, const std::string& name,
                               const std::string& default_value);

  // Never fails: any failure, or a value of another type, gives the default.
  // An absent value is written as the default.
  std::int32_t ReadPolicyInteger(const std::string& section, const std::string& name,
                                 std::int32_t default_value);
  bool ReadPolicyBool(const std::string& section, const std::string& name, bool default_value);

  // An 8-byte binary value read as a little-endian double. An absent value
  // is written as the default. Every failure is raised, a value of another
  // type or size included; a section that cannot be opened gives the default.
  double ReadPolicyFloat(const std::string& section, const std::string& name, double default_value);

  // One of a fixed set of texts (lower case), read without regard to letter
  // case; an absent value is written as the default, which must be one of
  // them. Gives the index of the choice, or nothing for a text that is none
  // of them: that is noted once per process (per value and text) with
  // instead_text, what the caller does instead ("the default bsd is used",
  // "no mail is sent").
  std::optional<std::size_t> ReadPolicyChoice(const std::string& section, const std::string& name,
                                              const std::vector<std::string>& choices,
                                              std::size_t default_index,
                                              const std::string& instead_text);

  // Unknown when the value does not exist or on any failure.
  TPolicyValueType GetPolicyValueType(const std::string& section, const std::string& name);

  // Deletes any value of the name, then writes REG_SZ. Failures are swallowed.
  void WritePolicyString(const std::string& section, const std::string& name,
                         const std::string& text);
  // Deletes any value of the name, then writes REG_DWORD. Failures are raised.
  void WritePolicyInteger(const std::string& section, const std::string& name, std::int32_t value);
  void WritePolicyBool(const std::string& section, const std::string& name, bool value);
  // Writes an 8-byte REG_BINARY over any existing value. Failures are raised.
  void WritePolicyFloat(const std::string& section, const std::string& name, double value);

  // Deletes the section with its values and subsections; nothing when it
  // does not exist. Failures are raised.
  void DeletePolicySection(const std::string& section);

  TPolicyBackend& Backend() { return backend_; }

  // The settings found with a value of the wrong type, or with a text that
  // is none of its choices, since the last call (each once per process), as
  // texts naming the value, what it holds and what is used instead. Any
  // thread.
  struct TSettingReport {
    std::string subject;  // "setting of the wrong type", "setting with an unknown choice"
    std::string text;
    bool operator==(const TSettingReport&) const = default;
  };
  std::vector<TSettingReport> TakeSettingReports();

 private:
  bool OpenSection(const std::string& section);
  void NoteWrongType(const std::string& section, const std::string& name, TPolicyValueType found,
                     const char* wanted, const std::string& default_text);
  void NoteReport(const std::string& key, const std::string& subject, const std::string& text);

  TPolicyBackend& backend_;
  std::mutex reports_mutex_;
  std::set<std::string> reported_;  // "section\name", folded: each value once
  std::vector<TSettingReport> pending_reports_;
};

// The 8 little-endian IEEE 754 bytes of a double, and back.
std::vector<std::uint8_t> EncodePolicyFloat(double value);
double DecodePolicyFloat(const std::vector<std::uint8_t>& bytes);

}  // namespace warderon
