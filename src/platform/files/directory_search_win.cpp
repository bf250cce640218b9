// Directory search with FindFirstFileExW / FindNextFileW: every entry,
// hidden and system ones included. Paths beyond MAX_PATH go through the
// "\\?\" form, so the depth of a tree does not limit the walk.
#include "platform/win/win_support.h"

#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "platform/files/directory_search.h"
#include "platform/files/path_rules.h"

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
constexpr unsigned long long kTicksPerSecond = 10000000ULL;
constexpr unsigned long long kTicksPerHour = 3600ULL * kTicksPerSecond;
// Below this length the plain form works everywhere.
constexpr std::size_t kPlainPathLimit = 240;

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTime(unsigned long long ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFU), static_cast<DWORD>(ticks >> 32)};
}

// The "\\?\" form of a long absolute path (drive or UNC), which the system
// takes beyond MAX_PATH; anything else stays as it is.
std::wstring SystemPath(const std::string& path) {
  std::wstring wide = win::Widen(path);
  if (wide.size() < kPlainPathLimit || wide.starts_with(L"\\\\?\\")) return wide;
  if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
  if (wide.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + wide.substr(2);
  return wide;
}

class TWinOpenDirectory final : public TOpenDirectory {
 public:
  explicit TWinOpenDirectory(std::string path) : path_(std::move(path)) {
    if (!path_.empty() && path_.back() != '\\') path_ += '\\';
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;  // with a trailing separator
};

class TWinDirectorySearch final : public TDirectorySearch {
 public:
  std::unique_ptr<TOpenDirectory> OpenDirectory(const std::string& path) override {
    return std::make_unique<TWinOpenDirectory>(path);
  }

  std::unique_ptr<TOpenDirectory> OpenSubdirectory(TOpenDirectory& parent,
                                                   std::string_view name) override {
    return std::make_unique<TWinOpenDirectory>(static_cast<TWinOpenDirectory&>(parent).Path() +
                                               std::string(name));
  }

  bool List(TOpenDirectory& directory,
            const std::function<void(const TFoundEntry&)>& on_entry) override {
    return Search(SystemPath(static_cast<TWinOpenDirectory&>(directory).Path() + "*.*"), on_entry);
  }

  bool Match(const std::string& pattern,
             const std::function<void(const TFoundEntry&)>& on_entry) override {
    return Search(SystemPath(pattern), on_entry);
  }

 private:
  bool Search(const std::wstring& pattern,
              const std::function<void(const TFoundEntry&)>& on_entry) {
    WIN32_FIND_DATAW data{};
    TFindHandle find;
    find.handle = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find.handle == INVALID_HANDLE_VALUE) return false;
    do {
      const std::wstring_view name(data.cFileName);
      if (name == L"." || name == L"..") continue;
      name_ = win::Narrow(name);
      TFoundEntry entry;
      entry.name = name_;
      entry.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.time = DayNumber(data.ftLastWriteTime);
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      on_entry(entry);
    } while (FindNextFileW(find.handle, &data) != FALSE);
    return true;
  }

  // Last-write time in local time, with the offset valid at that time (a
  // summer file keeps its summer offset in winter), truncated to two
  // seconds, as a day number. The offset is looked up once per hour of
  // file times.
  double DayNumber(const FILETIME& utc) {
    const unsigned long long ticks = Ticks(utc);
    const unsigned long long hour = ticks / kTicksPerHour;
    auto it = offsets_.find(hour);
    if (it == offsets_.end()) it = offsets_.emplace(hour, OffsetAt(utc)).first;
    long long seconds = static_cast<long long>(ticks / kTicksPerSecond) + it->second;
    seconds -= ((seconds % 2) + 2) % 2;
    return kFileTimeEpochDays + static_cast<double>(seconds) / 86400.0;
  }

  // Seconds to add to a UTC time to get the local time in force then.
  static long long OffsetAt(const FILETIME& utc) {
    // Whole hours: the offset never changes within one.
    const FILETIME hour = FileTime(Ticks(utc) / kTicksPerHour * kTicksPerHour);
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    FILETIME local_time{};
    if (FileTimeToSystemTime(&hour, &universal) == FALSE ||
        SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) == FALSE ||
        SystemTimeToFileTime(&local, &local_time) == FALSE) {
      FileTimeToLocalFileTime(&hour, &local_time);  // the offset in force now
    }
    return (static_cast<long long>(Ticks(local_time)) - static_cast<long long>(Ticks(hour))) /
           static_cast<long long>(kTicksPerSecond);
  }

  std::string name_;  // the current entry's name, reused
  std::unordered_map<unsigned long long, long long> offsets_;
};

}  // namespace

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch() {
  return std::make_unique<TWinDirectorySearch>();
}

std::string FormatLocalDateTime(double days) {
  const double seconds = std::round((days - kFileTimeEpochDays) * 86400.0);
  SYSTEMTIME civil{};
  // FILETIME reaches from 1601 to about 30828.
  if (std::isfinite(seconds) && seconds >= 0 && seconds < 9.0e11) {
    const FILETIME time = FileTime(static_cast<unsigned long long>(seconds) * kTicksPerSecond);
    if (FileTimeToSystemTime(&time, &civil) != FALSE) {  // the day number already is local time
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
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", days);
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
