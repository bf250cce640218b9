// Unicode-aware case folding through the C library's UTF-8 locale.
#include <locale.h>
#include <wctype.h>
#include <clocale>
#include <cwctype>

#include <cstdint>

#include "core/text_case.h"

namespace warderon {
namespace {

// The C.UTF-8 locale object, created once; immutable afterwards.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc != static_cast<locale_t>(nullptr) ? loc : duplocale(LC_GLOBAL_LOCALE);
  }();
  return locale;
}

// Decodes one UTF-8 sequence at text[pos]; returns its length, 0 when invalid.
std::size_t DecodeUtf8(std::string_view text, std::size_t pos, char32_t& out) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    out = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  out = value;
  return length;
}

void EncodeUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Maps every letter with one of the C library's case functions; ASCII
// directly, for speed.
template <bool kUpper>
std::string MapCase(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char c = text[pos];
    if (static_cast<unsigned char>(c) < 0x80) {
      if (kUpper) {
        result.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
      } else {
        result.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
      }
      ++pos;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = DecodeUtf8(text, pos, code);
    if (length == 0) {
      result.push_back(c);
      ++pos;
      continue;
    }
    const auto wide = static_cast<wint_t>(code);
    const wint_t mapped = kUpper ? towupper_l(wide, Utf8Locale()) : towlower_l(wide, Utf8Locale());
    EncodeUtf8(static_cast<char32_t>(mapped), result);
    pos += length;
  }
  return result;
}

}  // namespace

std::string FoldCase(std::string_view text) { return MapCase<true>(text); }

std::string LowerCase(std::string_view text) { return MapCase<false>(text); }

int CompareTextIgnoreCase(std::string_view left, std::string_view right) {
  const std::string a = FoldCase(left);
  const std::string b = FoldCase(right);
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace warderon
