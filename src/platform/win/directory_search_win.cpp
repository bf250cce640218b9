// Directory search with FindFirstFileExW / FindNextFileW: every entry,
// hidden and system ones included.
#include "platform/win/win_support.h"

#include <cmath>

#include "platform/directory_search.h"
#include "platform/path_rules.h"

namespace warderon {

TPathRules NativePathRules() { return {'\\', false, "\\:"}; }

namespace {

struct TFindHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~TFindHandle() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

constexpr double kFileTimeEpochDays = -109205.0;  // 1601-01-01 as a day number

// Last-write time to local time, truncated to two seconds, as a day number.
double DayNumber(const FILETIME& utc) {
  FILETIME local{};
  FileTimeToLocalFileTime(&utc, &local);
  const auto ticks =
      (static_cast<unsigned long long>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  unsigned long long seconds = ticks / 10000000ULL;
  seconds -= seconds % 2;
  return kFileTimeEpochDays + static_cast<double>(seconds) / 86400.0;
}

bool Search(const std::wstring& pattern, const std::function<void(const TFoundEntry&)>& on_entry) {
  WIN32_FIND_DATAW data{};
  TFindHandle find;
  find.handle = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find.handle == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    const std::string utf8 = win::Narrow(name);
    TFoundEntry entry;
    entry.name = utf8;
    entry.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.time = DayNumber(data.ftLastWriteTime);
    entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    on_entry(entry);
  } while (FindNextFileW(find.handle, &data) != FALSE);
  return true;
}

class TWinDirectorySearch final : public TDirectorySearch {
 public:
  bool List(const std::string& directory,
            const std::function<void(const TFoundEntry&)>& on_entry) override {
    return Search(win::Widen(directory) + L"*.*", on_entry);
  }
  bool Match(const std::string& pattern,
             const std::function<void(const TFoundEntry&)>& on_entry) override {
    return Search(win::Widen(pattern), on_entry);
  }
};

}  // namespace

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch() {
  return std::make_unique<TWinDirectorySearch>();
}

std::string FormatLocalDateTime(double days) {
  const double seconds = std::round((days - kFileTimeEpochDays) * 86400.0);
  const auto ticks = static_cast<unsigned long long>(seconds) * 10000000ULL;
  FILETIME time{static_cast<DWORD>(ticks & 0xFFFFFFFFU), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME civil{};
  FileTimeToSystemTime(&time, &civil);  // the day number already is local time
  wchar_t date[128] = {};
  wchar_t clock[128] = {};
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &civil, nullptr, date, 128);
  std::string text = win::Narrow(date);
  if (civil.wHour != 0 || civil.wMinute != 0 || civil.wSecond != 0) {
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &civil, nullptr, clock, 128);
    text += " " + win::Narrow(clock);
  }
  return text;
}

std::string CatalogueTextToUtf8(std::string_view line) {
  if (line.empty()) return {};
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(), static_cast<int>(line.size()),
                          nullptr, 0) > 0) {
    return std::string(line);
  }
  // Not UTF-8: a catalogue of an earlier release, in the ANSI code page.
  const int length =
      MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), wide.data(), length);
  return win::Narrow(wide);
}

}  // namespace warderon
