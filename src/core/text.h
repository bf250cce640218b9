// Small text helpers shared by the monitors.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace warderon {

// Removes every blank (U+0020): service keys and account names.
inline std::string StripBlanks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (c != ' ') result += c;
  }
  return result;
}

// C0 control characters and DEL: what must never travel raw in a line.
inline bool IsControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// A line fit for mail, syslog and the journal: each control character but
// the tab (a line break in a file name, an escape sequence in a service
// name) becomes its visible picture (U+2400 to U+241F, U+2421 for DEL), so
// no text from the machine can start a line of its own or drive a terminal.
inline std::string VisibleLine(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (IsControlCharacter(c) && c != '\t') {
      const auto byte = static_cast<unsigned char>(c);
      const unsigned picture = byte == 0x7F ? 0x2421 : 0x2400 + byte;
      result += static_cast<char>(0xE0 | (picture >> 12));
      result += static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
      result += static_cast<char>(0x80 | (picture & 0x3F));
    } else {
      result += c;
    }
  }
  return result;
}

// True when VisibleLine would change the text.
inline bool NeedsVisibleLine(std::string_view text) {
  for (const char c : text) {
    if (IsControlCharacter(c) && c != '\t') return true;
  }
  return false;
}

// The text with every occurrence of each non-empty secret replaced by
// "[hidden]": a peer may echo what it was sent, and an error text becomes an
// alert that is mailed, journalled and printed.
inline std::string WithoutSecrets(std::string text,
                                  std::initializer_list<std::string_view> secrets) {
  for (const std::string_view secret : secrets) {
    if (secret.empty()) continue;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), "[hidden]");
      at += 8;
    }
  }
  return text;
}

}  // namespace warderon
