#include "service/policy_command.h"

#include <charconv>
#include <cmath>
#include <ostream>

#include "platform/text_case.h"
#include "policy/policy_store.h"

namespace warderon {
namespace {

constexpr char kDefaultValueName[] = "(default)";

std::string ValueName(const std::string& word) {
  return UpperAscii(word) == "(DEFAULT)" ? std::string() : word;
}

// Control characters would break the one-value-per-line format.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

std::string FormatDouble(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::optional<TPolicyValue> ParseValue(const std::string& text, const std::string& type,
                                       std::string& error) {
  const std::string kind = UpperAscii(type);
  if (kind == "STRING") return TPolicyValue::MakeText(text);
  if (kind == "EXPANDSTRING") return TPolicyValue::MakeExpandText(text);
  if (kind == "INTEGER") {
    std::int32_t number = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (status != std::errc() || end != text.data() + text.size()) {
      error = "'" + text + "' is not a 32-bit integer";
      return std::nullopt;
    }
    return TPolicyValue::MakeInteger(number);
  }
  if (kind == "FLOAT") {
    double number = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (status != std::errc() || end != text.data() + text.size() || !std::isfinite(number)) {
      error = "'" + text + "' is not a decimal number";
      return std::nullopt;
    }
    return TPolicyValue::MakeBinary(EncodePolicyFloat(number));
  }
  error = "unknown type '" + type + "' (string, expandstring, integer or float)";
  return std::nullopt;
}

}  // namespace

std::string FormatPolicyValue(const std::string& name, const TPolicyValue& value) {
  std::string line = (name.empty() ? std::string(kDefaultValueName) : Printable(name)) + "\t";
  switch (value.type) {
    case TPolicyValueType::Text:
    case TPolicyValueType::ExpandText:
      return line + PolicyValueTypeName(value.type) + "\t" + Printable(value.text);
    case TPolicyValueType::Integer:
      return line + "integer\t" + std::to_string(value.integer);
    case TPolicyValueType::Binary:
      // Eight bytes are how the system stores a floating point number.
      if (value.binary.size() == 8)
        return line + "float\t" + FormatDouble(DecodePolicyFloat(value.binary));
      return line + "binary\t" + Hex(value.binary);
    case TPolicyValueType::Unknown:
      break;
  }
  return line + "unknown\t" + Hex(value.binary);
}

int RunPolicyCommand(TPolicyBackend& backend, const std::vector<std::string>& words,
                     const std::optional<std::string>& value_type, std::ostream& out,
                     std::ostream& err) {
  const std::string verb = words.empty() ? std::string() : UpperAscii(words[0]);
  const std::size_t args = words.empty() ? 0 : words.size() - 1;
  auto usage = [&](const std::string& message) {
    err << "warderon: " << message << "\n";
    return 2;
  };
  if (value_type && verb != "SET") return usage("-type goes with set");
  try {
    if (verb == "LIST" && args == 1) {
      for (const TPolicyNamedValue& value : backend.ReadSection(words[1])) {
        out << FormatPolicyValue(value.name, value.value) << "\n";
      }
      return 0;
    }
    if (verb == "GET" && args == 2) {
      // Read through the section so the name prints as stored.
      const std::string folded = FoldCase(ValueName(words[2]));
      for (const TPolicyNamedValue& value : backend.ReadSection(words[1])) {
        if (FoldCase(value.name) == folded) {
          out << FormatPolicyValue(value.name, value.value) << "\n";
          return 0;
        }
      }
      err << "warderon: no value '" << words[2] << "' in section '" << words[1] << "'\n";
      return 1;
    }
    if (verb == "SET" && args == 3) {
      std::string error;
      const auto value = ParseValue(words[3], value_type.value_or("string"), error);
      if (!value) return usage(error);
      const std::string name = ValueName(words[2]);
      backend.WriteValue(words[1], name, *value);
      out << FormatPolicyValue(name, *value) << "\n";
      return 0;
    }
    if (verb == "DELETE" && args == 1) {
      backend.DeleteSection(words[1]);
      return 0;
    }
    if (verb == "DELETE" && args == 2) {
      if (!backend.DeleteValue(words[1], ValueName(words[2]))) {
        err << "warderon: no value '" << words[2] << "' in section '" << words[1] << "'\n";
        return 1;
      }
      return 0;
    }
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
  return usage(
      "-policy takes list SECTION | get SECTION NAME | set SECTION NAME VALUE"
      " [-type T] | delete SECTION [NAME]");
}

}  // namespace warderon
