#include <winsock2.h>  // before <windows.h>, which would pull in the old winsock.h

#include "platform/win/win_support.h"

#include <array>

#include "platform/net/host_name.h"

namespace warderon {

std::string GetLocalHostName() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return {};
  std::array<char, 256> buffer{};
  const int status = gethostname(buffer.data(), static_cast<int>(buffer.size() - 1));
  WSACleanup();
  if (status != 0) return {};
  return std::string(buffer.data());  // up to the first NUL
}

std::string GetLocalDnsDomainSuffix() {
  wchar_t domain[256] = {};
  DWORD length = 256;
  if (GetComputerNameExW(ComputerNameDnsDomain, domain, &length) == FALSE || length == 0) return {};
  return "." + win::Narrow({domain, length});
}

}  // namespace warderon
