#include <windows.h>

#include <string>

#include "platform/time/boot_time.h"

namespace warderon {

std::optional<TBootTime> ReadBootTime() {
  // The kernel counts boots here; a system without the count (Wine) gives
  // no boot identity, and the age is judged by the UTC clock alone.
  DWORD boot_count = 0;
  DWORD size = sizeof boot_count;
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory "
                   L"Management\\PrefetchParameters",
                   L"BootId", RRF_RT_REG_DWORD, nullptr, &boot_count, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  TBootTime boot;
  boot.boot_id = std::to_string(boot_count);
  boot.seconds = static_cast<double>(GetTickCount64()) / 1000.0;
  return boot;
}

}  // namespace warderon
