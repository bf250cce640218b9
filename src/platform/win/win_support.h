// The one way Windows code includes <windows.h>, plus the UTF-8 / UTF-16
// boundary helpers and error texts.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include <windows.h>

#include <string>
#include <string_view>

namespace warderon::win {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// The system's message for an error code, as the system words it (only the
// final line break removed).
std::string SystemMessage(DWORD code);

// "<operation>: <system message> (<code>)".
std::string ErrorText(const std::string& operation, DWORD code);

}  // namespace warderon::win
