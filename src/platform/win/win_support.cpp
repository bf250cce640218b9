#include "platform/win/win_support.h"

namespace warderon::win {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), result.data(),
                      length);
  return result;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), result.data(),
                      length, nullptr, nullptr);
  return result;
}

std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  return Narrow(message);
}

std::string ErrorText(const std::string& operation, DWORD code) {
  std::string message = SystemMessage(code);
  while (!message.empty() && (message.back() == ' ' || message.back() == '.')) message.pop_back();
  return operation + ": " + (message.empty() ? std::string("error") : message) + " (" +
         std::to_string(code) + ")";
}

}  // namespace warderon::win
