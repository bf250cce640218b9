// The places through which programs start by themselves or the system's
// environment is set (autostart registry keys on Windows, their Linux
// counterparts), each read as named texts.
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
  // The places "HackingExtended" adds, and how they are read (Windows):
  // only these values of the key; or each subkey's value_name, named by the
  // subkey; or the files of a folder (key_path) by their digests, or the
  // scheduled tasks below it by their commands. Numbers and multi-strings
  // read as text (each item an entry), never as "N/A".
  enum class TKind { Values, SubkeyValues, FolderFiles, Tasks };
  TKind kind = TKind::Values;
  std::vector<std::string> values{};
  bool extended = false;
};

// One value of a place: its name (any text, "=" and the empty name of a
// key's default value included) and its text.
struct TAutostartEntry {
  std::string name;
  std::string text;
  // How reports and comparisons show it.
  std::string Line() const { return name + "=" + text; }
  bool operator==(const TAutostartEntry&) const = default;
};

// A place as it was read: its entries, and whether the reading is whole.
struct TAutostartReading {
  std::vector<TAutostartEntry> entries;
  // Not empty: a bound ended the reading, and this says which (what lies
  // beyond it is not seen).
  std::string cut_short;
  // Not empty: the place is there but could not be read, and why (no
  // rights, a broken file); its entries then say nothing.
  std::string failure;
};

class TAutostartSource {
 public:
  virtual ~TAutostartSource() = default;
  // The places to watch, in report order.
  virtual std::vector<TAutostartKey> WatchedKeys() = 0;
  // The places "HackingExtended" adds, in report order, after those.
  virtual std::vector<TAutostartKey> ExtendedKeys() { return {}; }
  // The place's entries as they are now, the text of a value that is no
  // text being "N/A", that of a missing single value empty, and a NUL
  // inside a text shown as U+2400 (so what follows it is seen and kept).
  // Nothing when the place cannot be opened.
  virtual std::vector<TAutostartEntry> ReadEntries(const TAutostartKey& key) = 0;
  // The same, with what kept the reading from being whole.
  virtual TAutostartReading Read(const TAutostartKey& key) { return {ReadEntries(key), "", ""}; }
};

std::unique_ptr<TAutostartSource> MakeSystemAutostartSource();

}  // namespace warderon
