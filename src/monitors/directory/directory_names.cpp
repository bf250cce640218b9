#include "monitors/directory/directory_names.h"

namespace warderon {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string FirstRdnValue(const std::string& dn) {
  const auto equals = dn.find('=');
  if (equals == std::string::npos) return dn;
  std::string value;
  for (std::size_t i = equals + 1; i < dn.size(); ++i) {
    const char c = dn[i];
    if (c == ',') break;
    if (c != '\\' || i + 1 == dn.size()) {
      value += c;
      continue;
    }
    const int high = HexDigit(dn[i + 1]);
    const int low = i + 2 < dn.size() ? HexDigit(dn[i + 2]) : -1;
    if (high >= 0 && low >= 0) {
      value += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      value += dn[++i];
    }
  }
  return value;
}

std::string EscapeFilterValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    switch (c) {
      case '*':
        escaped += "\\2a";
        break;
      case '(':
        escaped += "\\28";
        break;
      case ')':
        escaped += "\\29";
        break;
      case '\\':
        escaped += "\\5c";
        break;
      case '\0':
        escaped += "\\00";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace warderon
