// Directory search for the file integrity monitor: the entries of one
// directory, or the matches of one pattern, with what the directory search
// itself gives (no file is opened).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace warderon {

struct TFoundEntry {
  std::string_view name;
  bool is_directory = false;
  // Last-write time in local time (with the offset from UTC valid at that
  // time), truncated to two seconds, as a day number (days since 1899-12-30
  // with the time of day as fraction).
  double time = 0.0;
  std::uint64_t size = 0;
  // The number the file system knows the entry by (Linux: the inode), for
  // a change journal; 0 where there is none.
  std::uint64_t id = 0;
  // How many names the file has (hard links); 1 where the platform does not
  // say. A file with more can be changed through a path outside the trees.
  std::uint32_t links = 1;
};

// A directory opened for a walk. A walk of any depth holds one per level:
// the implementation keeps the operating system's handles within a fixed
// budget, so depth costs memory, never handles or stack.
class TOpenDirectory {
 public:
  virtual ~TOpenDirectory() = default;
};

class TDirectorySearch {
 public:
  virtual ~TDirectorySearch() = default;
  // Opens a directory by its full path (of any length); null when it is
  // missing or cannot be read.
  virtual std::unique_ptr<TOpenDirectory> OpenDirectory(const std::string& path) = 0;
  // Opens the subdirectory `name` of an open directory, never following a
  // link put in its place; null when that fails. The parent must outlive the
  // child.
  virtual std::unique_ptr<TOpenDirectory> OpenSubdirectory(TOpenDirectory& parent,
                                                           std::string_view name) = 0;
  // Every entry of an open directory (hidden and system ones included, "."
  // and ".." left out), in the order the file system returns them. For
  // entries that are directories, time and size may be left 0 (the walk
  // descends into them and never records them). False when the listing
  // cannot be read: no entry then. Not re-entrant: on_entry must not call
  // back into the search.
  virtual bool List(TOpenDirectory& directory,
                    const std::function<void(const TFoundEntry&)>& on_entry) = 0;
  // The entries matching a path whose last component may hold the
  // wildcards * and ?, directories and hidden entries included, with their
  // times and sizes.
  virtual bool Match(const std::string& pattern,
                     const std::function<void(const TFoundEntry&)>& on_entry) = 0;
  // The names of an open directory in the order List gives them, without
  // their times and sizes (cheaper where those cost a call per entry).
  virtual bool ListNames(
      TOpenDirectory& directory,
      const std::function<void(std::string_view name, bool is_directory)>& on_name);
  // A directory below an open one by a relative path ("a/b"), never
  // following a symbolic link on the way; null when that fails. The
  // default opens one name at a time, each child outliving its parent:
  // a search whose children need their parents overrides it.
  virtual std::unique_ptr<TOpenDirectory> OpenBelow(TOpenDirectory& top, std::string_view relative);
  // One entry of an open directory by name (the entry's name views the
  // argument), with its time and size; nothing when it does not exist.
  virtual std::optional<TFoundEntry> Find(TOpenDirectory& directory, std::string_view name);
};

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch();

// A day number as text in the locale's short date and long time form; the
// time is left out at exactly midnight. A day number outside the calendar
// the platform can format is given as the number itself.
std::string FormatLocalDateTime(double days);

// A catalogue line as read back: UTF-8 as it is; on Windows, a line that is
// not valid UTF-8 (an earlier release's ANSI file) is converted from the
// system's ANSI code page.
std::string CatalogueTextToUtf8(std::string_view line);

}  // namespace warderon
