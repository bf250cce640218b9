// Small text helpers shared by the monitors.
#pragma once

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

}  // namespace warderon
