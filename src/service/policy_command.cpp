#include "service/policy_command.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <ostream>
#include <sstream>

#include "core/text.h"
#include "core/text_case.h"
#include "policy/policy_store.h"

namespace warderon {
namespace {

constexpr char kDefaultValueName[] = "(default)";

std::string ValueName(const std::string& word) {
  return UpperAscii(word) == "(DEFAULT)" ? std::string() : word;
}

// The first line of an export: files without it are of the first format
// (names and texts escaped only where ambiguous, section names raw), which
// import still reads as it always did.
constexpr char kExportHeader[] = "#warderon-export 2";

// The export form of a text: a backslash is always doubled, CR, LF and tab
// are \r, \n and \t, any other control character \xHH, so that the line
// structure holds, no raw control character reaches a terminal, and import
// reads back exactly what was stored. A name that would read as a comment,
// a section or the default value starts with a backslash.
std::string Escaped(const std::string& text, bool is_name) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  if (is_name &&
      (text.rfind('#', 0) == 0 || text.rfind('[', 0) == 0 || UpperAscii(text) == "(DEFAULT)")) {
    out += '\\';
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// Undoes Escaped. With legacy set, the first format: only \r, \n, \t and
// \\ are escapes.
std::string Unescaped(const std::string& text, bool legacy = false) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
        out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
        ++i;
        continue;
      }
      if (!legacy && next == 'x' && i + 3 < text.size() && hex(text[i + 2]) >= 0 &&
          hex(text[i + 3]) >= 0) {
        out += static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3]));
        i += 3;
        continue;
      }
      if (!legacy && (next == '#' || next == '[' || next == '(')) {
        continue;  // the marker of a name that would read otherwise
      }
    }
    out += text[i];
  }
  return out;
}

// Line breaks and tabs would break the one-value-per-line format.
std::string EscapedBreaks(const std::string& text) {
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

// What list and get print: no other control character (an escape sequence
// in a file or member name) reaches the administrator's terminal raw.
std::string Printable(const std::string& text) { return VisibleLine(EscapedBreaks(text)); }

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
  if (kind == "BINARY") {
    std::vector<std::uint8_t> bytes;
    std::istringstream pairs(text);
    std::string pair;
    while (pairs >> pair) {
      unsigned value = 0;
      const auto [end, status] = std::from_chars(pair.data(), pair.data() + pair.size(), value, 16);
      if (pair.size() != 2 || status != std::errc() || end != pair.data() + pair.size()) {
        error = "'" + text + "' is not hexadecimal bytes";
        return std::nullopt;
      }
      bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return TPolicyValue::MakeBinary(std::move(bytes));
  }
  error = "unknown type '" + type + "' (string, expandstring, integer, float or binary)";
  return std::nullopt;
}

// One value in the export form; raises TPolicyError for a value that
// import could not take back (a type it does not know).
std::string ExportLine(const std::string& section, const std::string& name,
                       const TPolicyValue& value) {
  std::string line = (name.empty() ? std::string(kDefaultValueName) : Escaped(name, true)) + "\t";
  switch (value.type) {
    case TPolicyValueType::Text:
    case TPolicyValueType::ExpandText:
      return line + PolicyValueTypeName(value.type) + "\t" + Escaped(value.text, false);
    case TPolicyValueType::Integer:
      return line + "integer\t" + std::to_string(value.integer);
    case TPolicyValueType::Binary: {
      // Eight bytes read as a number only when the number gives them back.
      const double number = DecodePolicyFloat(value.binary);
      if (value.binary.size() == 8 && std::isfinite(number)) {
        return line + "float\t" + FormatDouble(number);
      }
      return line + "binary\t" + Hex(value.binary);
    }
    case TPolicyValueType::Unknown:
      break;
  }
  throw TPolicyError("value '" + VisibleLine(name) + "' of section '" + VisibleLine(section) +
                     "' has a type that import cannot take back; nothing was exported");
}

// The sections to export: one and those below it, or all.
std::vector<std::string> ExportedSections(TPolicyBackend& backend,
                                          const std::optional<std::string>& section) {
  std::vector<std::string> sections;
  if (!section) {
    sections.push_back("");  // the root's own values, if any
    for (const std::string& name : backend.ListSections()) sections.push_back(name);
    return sections;
  }
  sections.push_back(*section);
  const std::string prefix = FoldCase(*section + "\\");
  for (const std::string& name : backend.ListSections()) {
    if (FoldCase(name).rfind(prefix, 0) == 0) sections.push_back(name);
  }
  return sections;
}

int ExportSections(TPolicyBackend& backend, const std::optional<std::string>& section,
                   std::ostream& out, std::ostream& err) {
  // Written whole or not at all: a refusal leaves no half export behind.
  std::string text = std::string(kExportHeader) + "\n";
  try {
    for (const std::string& name : ExportedSections(backend, section)) {
      const auto values = backend.ReadSection(name);
      if (name.empty() && values.empty()) continue;
      text += "[" + Escaped(name, false) + "]\n";
      for (const TPolicyNamedValue& value : values) {
        text += ExportLine(name, value.name, value.value) + "\n";
      }
      text += "\n";
    }
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
  out << text;
  return 0;
}

// Reads a whole export; applies it in one transaction only if every line
// is good, so a bad file changes nothing.
int ImportSections(TPolicyBackend& backend, const std::string& path, std::ostream& out,
                   std::ostream& err) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    err << "warderon: cannot read '" << path << "'\n";
    return 1;
  }
  struct TEntry {
    std::string section;
    std::optional<TPolicyNamedValue> value;  // none: the section alone
  };
  std::vector<TEntry> entries;
  std::optional<std::string> section;
  std::string line;
  bool legacy = true;  // a file of the first format, without the header
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line == kExportHeader) {
      legacy = false;
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    // A section line holds no tab: a value named "[x" with a text "y]" is
    // still a value.
    if (line.front() == '[' && line.back() == ']' && line.find('\t') == std::string::npos) {
      const std::string name = line.substr(1, line.size() - 2);
      section = legacy ? name : Unescaped(name);
      entries.push_back({*section, std::nullopt});
      continue;
    }
    const auto first_tab = line.find('\t');
    const auto second_tab =
        first_tab == std::string::npos ? first_tab : line.find('\t', first_tab + 1);
    std::string error;
    std::optional<TPolicyValue> value;
    if (!section) {
      error = "a value before any [SECTION] line";
    } else if (second_tab == std::string::npos) {
      error = "not NAME<tab>TYPE<tab>DATA";
    } else {
      value = ParseValue(Unescaped(line.substr(second_tab + 1), legacy),
                         line.substr(first_tab + 1, second_tab - first_tab - 1), error);
    }
    if (!value) {
      err << "warderon: " << path << " line " << number << ": " << error << "; nothing imported\n";
      return 2;
    }
    // "(default)" as written names the default value; a value that is
    // really named so was written with a backslash before it.
    const std::string written = line.substr(0, first_tab);
    const std::string name = legacy                       ? ValueName(Unescaped(written, true))
                             : ValueName(written).empty() ? std::string()
                                                          : Unescaped(written);
    entries.push_back({*section, TPolicyNamedValue{name, *value}});
  }
  backend.RunAtomically([&] {
    for (const TEntry& entry : entries) {
      if (entry.value) {
        backend.WriteValue(entry.section, entry.value->name, entry.value->value);
      } else {
        backend.CreateSection(entry.section);
      }
    }
  });
  out << "imported " << entries.size() << " lines from " << path << "\n";
  return 0;
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

bool PolicyCommandWrites(const std::vector<std::string>& words) {
  const std::string verb = words.empty() ? std::string() : UpperAscii(words[0]);
  return verb != "LIST" && verb != "GET" && verb != "EXPORT";
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
    if (verb == "EXPORT" && args <= 1) {
      return ExportSections(backend, args == 1 ? std::optional(words[1]) : std::nullopt, out, err);
    }
    if (verb == "IMPORT" && args == 1) return ImportSections(backend, words[1], out, err);
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
      " [-type T] | delete SECTION [NAME] | export [SECTION] | import FILE");
}

}  // namespace warderon
