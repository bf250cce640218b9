// Storage of the policy subtree: sections holding typed, named values.
//
// A backend is the raw store (the registry on Windows, an SQLite file on
// Linux, memory in tests). It knows nothing of defaults or write-back; those
// rules live in the policy store above it. Section names are case-insensitive
// and nest with "\"; value names are case-insensitive; values enumerate in the
// order in which they were created. The empty value name is the section's
// default value; the empty section name is the root of the subtree.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace warderon {

// A failure of the store itself (cannot open, cannot write, corrupt data).
// The message names the store and the operation.
class TPolicyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TPolicyValueType { Unknown, Text, ExpandText, Integer, Binary };

struct TPolicyValue {
  TPolicyValueType type = TPolicyValueType::Unknown;
  std::string text;                  // Text, ExpandText
  std::int32_t integer = 0;          // Integer
  std::vector<std::uint8_t> binary;  // Binary, and the raw bytes of Unknown

  static TPolicyValue MakeText(std::string value);
  static TPolicyValue MakeExpandText(std::string value);
  static TPolicyValue MakeInteger(std::int32_t value);
  static TPolicyValue MakeBinary(std::vector<std::uint8_t> value);

  bool operator==(const TPolicyValue&) const = default;
};

struct TPolicyNamedValue {
  std::string name;
  TPolicyValue value;
};

// Every operation may be called from any thread; implementations serialise
// internally. Every failure raises TPolicyError.
class TPolicyBackend {
 public:
  virtual ~TPolicyBackend() = default;

  // Where the data lives, for messages ("registry key HKLM\...", "policy store '/x'").
  virtual std::string Describe() const = 0;

  // Creates the section and every missing section above it.
  virtual void CreateSection(const std::string& section) = 0;

  // The value, or nothing when the value or its section does not exist.
  virtual std::optional<TPolicyValue> ReadValue(const std::string& section,
                                                const std::string& name) = 0;

  // Creates the value (at the end of the enumeration) or overwrites it in
  // place. Creates the section when absent.
  virtual void WriteValue(const std::string& section, const std::string& name,
                          const TPolicyValue& value) = 0;

  // Returns false when the value did not exist.
  virtual bool DeleteValue(const std::string& section, const std::string& name) = 0;

  // Deletes the section with its values and subsections; nothing when absent.
  virtual void DeleteSection(const std::string& section) = 0;

  // Replaces the section, subsections included, by one holding exactly the
  // given values, created in the given order (names must be distinct
  // ignoring case). All or nothing where the backend has transactions.
  virtual void RewriteSection(const std::string& section,
                              const std::vector<TPolicyNamedValue>& values) = 0;

  // All values of the section in creation order; empty when absent.
  virtual std::vector<TPolicyNamedValue> ReadSection(const std::string& section) = 0;
  // Every section below the root (nested ones as "A\B"), sorted.
  virtual std::vector<std::string> ListSections() = 0;

  // Runs work so that a crash never leaves part of it stored, where the
  // backend can promise that (the registry cannot). Other threads' operations
  // wait until it is over. Nesting is allowed. An exception from work undoes
  // what work stored and propagates.
  virtual void RunAtomically(const std::function<void()>& work) = 0;
};

// Name of a type for people ("string", "integer", ...).
std::string PolicyValueTypeName(TPolicyValueType type);

}  // namespace warderon
