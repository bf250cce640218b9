// The places through which programs start by themselves or the system's
// environment is set (autostart registry keys on Windows, their Linux
// counterparts), each read as "name=text" entries.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace warderon {

struct TAutostartKey {
  std::string name;                       // names the place in reports and its baseline section
  std::string key_path;                   // where it is (a key below HKEY_LOCAL_MACHINE, or a file)
  std::optional<std::string> value_name;  // only this value of the key is watched
  bool view_32bit = false;                // Windows: the registry as 32-bit programs see it
};

class TAutostartSource {
 public:
  virtual ~TAutostartSource() = default;
  // The places to watch, in report order.
  virtual std::vector<TAutostartKey> WatchedKeys() = 0;
  // The place's entries as they are now: "name=text" each, the text of a
  // value that is no text being "N/A" and that of a missing single value
  // empty. Nothing when the place cannot be opened.
  virtual std::vector<std::string> ReadEntries(const TAutostartKey& key) = 0;
};

std::unique_ptr<TAutostartSource> MakeSystemAutostartSource();

}  // namespace warderon
