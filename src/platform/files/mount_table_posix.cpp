#include "platform/files/mount_table.h"

namespace warderon {

// A mount table field with its octal escapes ("\040" for a blank) undone.
// Only escapes are undone: a CR, FF or VT in a folder name stands raw.
namespace {

std::string UnescapedField(std::string_view field) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string unescaped;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      unescaped += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
      i += 3;
    } else {
      unescaped += field[i];
    }
  }
  return unescaped;
}

}  // namespace

// Fields are split at single blanks, the table's only separator (the
// kernel escapes blanks, tabs, line feeds and backslashes in names, and
// nothing else).
std::vector<std::string> MountPointsBelow(const std::string& table, const std::string& directory) {
  std::vector<std::string> points;
  const std::string prefix = directory == "/" ? "/" : directory + "/";
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string::npos) end = table.size();
    const std::string_view line(table.data() + start, end - start);
    start = end + 1;
    // id, parent, major:minor, root, mount point, ...
    std::size_t field_start = 0;
    std::string_view point;
    for (int field = 0; field < 5; ++field) {
      const std::size_t blank = line.find(' ', field_start);
      const std::size_t field_end = blank == std::string_view::npos ? line.size() : blank;
      if (field == 4) point = line.substr(field_start, field_end - field_start);
      if (blank == std::string_view::npos) break;
      field_start = blank + 1;
    }
    if (point.empty()) continue;
    const std::string unescaped = UnescapedField(point);
    if (unescaped.size() > prefix.size() && unescaped.compare(0, prefix.size(), prefix) == 0) {
      points.push_back(unescaped);
    }
  }
  return points;
}

}  // namespace warderon
