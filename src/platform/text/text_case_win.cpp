#include "core/text_case.h"
#include "platform/win/win_support.h"

namespace warderon {

namespace {

std::string MapCase(std::string_view text, DWORD how) {
  std::wstring wide = win::Widen(text);
  if (wide.empty()) return {};
  std::wstring mapped(wide.size() * 2, L'\0');
  const int length =
      LCMapStringW(LOCALE_INVARIANT, how, wide.c_str(), static_cast<int>(wide.size()),
                   mapped.data(), static_cast<int>(mapped.size()));
  if (length <= 0) return std::string(text);
  mapped.resize(static_cast<std::size_t>(length));
  return win::Narrow(mapped);
}

}  // namespace

// Upper-casing with the invariant locale matches how the registry compares names.
std::string FoldCase(std::string_view text) { return MapCase(text, LCMAP_UPPERCASE); }

std::string LowerCase(std::string_view text) { return MapCase(text, LCMAP_LOWERCASE); }

int CompareTextIgnoreCase(std::string_view left, std::string_view right) {
  const std::wstring a = win::Widen(left);
  const std::wstring b = win::Widen(right);
  const int result =
      CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                     b.c_str(), static_cast<int>(b.size()));
  if (result == CSTR_LESS_THAN) return -1;
  if (result == CSTR_GREATER_THAN) return 1;
  if (result == CSTR_EQUAL) return 0;
  const int fallback = FoldCase(left).compare(FoldCase(right));
  return fallback < 0 ? -1 : (fallback > 0 ? 1 : 0);
}

}  // namespace warderon
