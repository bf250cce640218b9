// Directory search for the file integrity monitor: the entries of one
// directory, or the matches of one pattern, with what the directory search
// itself gives (no file is opened).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace warderon {

struct TFoundEntry {
  std::string_view name;
  bool is_directory = false;
  // Last-write time in local time, truncated to two seconds, as a day number
  // (days since 1899-12-30 with the time of day as fraction).
  double time = 0.0;
  std::uint64_t size = 0;
};

class TDirectorySearch {
 public:
  virtual ~TDirectorySearch() = default;
  // Every entry of the directory (hidden and system ones included, "." and
  // ".." left out), in the order the file system returns them. For entries
  // that are directories, time and size may be left 0 (the walk descends
  // into them and never records them). False when the search cannot start
  // (missing, unreadable): no entry then.
  virtual bool List(const std::string& directory,
                    const std::function<void(const TFoundEntry&)>& on_entry) = 0;
  // The entries matching a path whose last component may hold the
  // wildcards * and ?, directories included, with their times and sizes.
  virtual bool Match(const std::string& pattern,
                     const std::function<void(const TFoundEntry&)>& on_entry) = 0;
};

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch();

// A day number as text in the locale's short date and long time form; the
// time is left out at exactly midnight.
std::string FormatLocalDateTime(double days);

// A catalogue line as read back: UTF-8 as it is; on Windows, a line that is
// not valid UTF-8 (an earlier release's ANSI file) is converted from the
// system's ANSI code page.
std::string CatalogueTextToUtf8(std::string_view line);

}  // namespace warderon
