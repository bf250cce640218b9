// The autostart registry keys below HKEY_LOCAL_MACHINE, in the 64-bit view,
// then the Run and RunOnce keys of the 32-bit view, where programs installed
// as 32-bit put their autostart values.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <shlobj.h>

#include <cstring>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>
#include <system_error>

#include "platform/autostart/autostart_source.h"
#include "platform/crypto/sha256.h"

namespace warderon {
namespace {

using win::Narrow;
using win::Widen;

constexpr char kCurrentVersion[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";

// The text of a value: string types as stored (references not expanded),
// any other type "N/A"; nothing when the value does not exist.
std::optional<std::string> ValueText(HKEY key, const std::wstring& name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::string("N/A");
  std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
  DWORD read = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &read) != ERROR_SUCCESS) {
    return std::string("N/A");
  }
  data.resize(read / sizeof(wchar_t));
  while (!data.empty() && data.back() == L'\0') data.pop_back();
  // A NUL inside the text is kept, visibly: the baseline stores text only
  // up to a NUL, and what hides behind one must still be seen.
  for (wchar_t& c : data) {
    if (c == L'\0') c = 0x2400;
  }
  return Narrow(data);
}

// At most this many subkeys, files or tasks are read a place, and 1 MB of
// a file: a place an intruder fills must not cost the cycle without bound.
constexpr std::size_t kMaxItems = 10000;
constexpr std::size_t kMaxFileBytes = 1 << 20;

// A value as the extended places read it: strings as stored, numbers as
// decimal text, each item of a multi-string its own text.
std::vector<std::string> ValueTexts(HKEY key, const std::wstring& name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return {};
  }
  if (type == REG_DWORD) {
    DWORD number = 0;
    DWORD read = sizeof number;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number),
                         &read) != ERROR_SUCCESS) {
      return {"N/A"};
    }
    return {std::to_string(number)};
  }
  if (type != REG_MULTI_SZ) return {ValueText(key, name).value_or("")};
  std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
  DWORD read = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &read) != ERROR_SUCCESS) {
    return {"N/A"};
  }
  data.resize(read / sizeof(wchar_t));
  std::vector<std::string> items;
  for (std::size_t start = 0; start < data.size();) {
    const std::size_t end = std::min(data.find(L'\0', start), data.size());
    if (end > start) items.push_back(Narrow(std::wstring_view(data).substr(start, end - start)));
    start = end + 1;
  }
  return items;
}

std::wstring RegistryPath(const std::string& path) {
  return Widen(path.substr(!path.empty() && path.front() == '\\' ? 1 : 0));
}

// The first megabyte of a file (cut says whether there is more); nothing
// when it cannot be read.
std::optional<std::string> FileStart(const std::filesystem::path& path, bool& cut) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string content(kMaxFileBytes + 1, '\0');
  file.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(file.gcount()));
  cut = content.size() > kMaxFileBytes;
  if (cut) content.resize(kMaxFileBytes);
  return content;
}

// Opens a key of HKEY_LOCAL_MACHINE for reading; a key that is not there is
// no failure (its place is empty), any other refusal is.
bool OpenPlaceKey(const std::wstring& path, REGSAM view, win::TRegKey& key,
                  TAutostartReading& reading) {
  const LONG result =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.Receive());
  if (result == ERROR_SUCCESS) return true;
  if (result != ERROR_FILE_NOT_FOUND && result != ERROR_PATH_NOT_FOUND) {
    reading.failure = win::ErrorText("open the key", static_cast<DWORD>(result));
  }
  return false;
}

// A task file's text: UTF-16 with its byte-order mark, as the scheduler
// writes it, or UTF-8.
std::string TaskText(const std::string& content) {
  if (content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
      static_cast<unsigned char>(content[1]) == 0xFE) {
    std::wstring wide((content.size() - 2) / 2, L'\0');
    std::memcpy(wide.data(), content.data() + 2, wide.size() * sizeof(wchar_t));
    return Narrow(wide);
  }
  return content;
}

// The commands a task's XML runs: each <Command> with its <Arguments>.
std::string TaskCommands(const std::string& xml) {
  std::string commands;
  const auto element = [&xml](const char* name, std::size_t from, std::size_t until) {
    const std::string open = std::string("<") + name + ">";
    const std::size_t start = xml.find(open, from);
    if (start == std::string::npos || start > until) return std::string();
    const std::size_t end = xml.find(std::string("</") + name + ">", start);
    return end == std::string::npos ? std::string()
                                    : xml.substr(start + open.size(), end - start - open.size());
  };
  for (std::size_t at = xml.find("<Exec>"); at != std::string::npos;
       at = xml.find("<Exec>", at + 1)) {
    const std::size_t end = std::min(xml.find("</Exec>", at), xml.size());
    std::string command = element("Command", at, end);
    const std::string arguments = element("Arguments", at, end);
    if (!arguments.empty()) command += " " + arguments;
    commands += (commands.empty() ? "" : " ; ") + command;
  }
  return commands;
}

std::wstring CommonStartupFolder() {
  PWSTR path = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_CommonStartup, 0, nullptr, &path) != S_OK) return L"";
  std::wstring folder(path);
  CoTaskMemFree(path);
  return folder;
}

std::wstring TasksFolder() {
  wchar_t system[MAX_PATH] = {};
  if (GetSystemDirectoryW(system, MAX_PATH) == 0) return L"";
  return std::wstring(system) + L"\\Tasks";
}

// Keeps the first bound that ended a reading.
void NoteCut(TAutostartReading& reading, const std::string& what) {
  if (reading.cut_short.empty()) reading.cut_short = what;
}

// Calls each(name) for the subkeys, or the values, of a key: at most
// kMaxItems of them, and what kept the listing from the end is noted.
void EnumerateNames(HKEY key, bool subkeys, TAutostartReading& reading,
                    const std::function<void(const std::wstring&)>& each) {
  for (DWORD index = 0;; ++index) {
    if (index == kMaxItems) {
      NoteCut(reading, subkeys ? "only 10,000 subkeys are read" : "only 10,000 values are read");
      return;
    }
    wchar_t name[16384];  // the longest value name; key names are shorter
    DWORD length = 16384;
    const LONG result =
        subkeys ? RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                : RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return;
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) {
      if (reading.failure.empty()) {
        reading.failure = win::ErrorText("list the key", static_cast<DWORD>(result));
      }
      return;
    }
    each(std::wstring(name, length));
  }
}

class TRegistryAutostartSource final : public TAutostartSource {
 public:
  std::vector<TAutostartKey> ExtendedKeys() override {
    using TKind = TAutostartKey::TKind;
    const auto place = [](const char* name, std::string path, TKind kind,
                          std::vector<std::string> values = {}, const char* value = nullptr,
                          bool view_32bit = false) {
      TAutostartKey key{name, std::move(path),
                        value ? std::optional<std::string>(value) : std::nullopt};
      key.view_32bit = view_32bit;
      key.kind = kind;
      key.values = std::move(values);
      key.extended = true;
      return key;
    };
    const std::string nt = "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
    const std::string control = "\\SYSTEM\\CurrentControlSet\\Control\\";
    return {
        place("Userinit", nt + "Winlogon", TKind::Values, {"Userinit"}),
        place("Policies Run", kCurrentVersion + std::string("Policies\\Explorer\\Run"),
              TKind::Values),
        place("IFEO Debugger", nt + "Image File Execution Options", TKind::SubkeyValues, {},
              "Debugger"),
        place("SilentProcessExit", nt + "SilentProcessExit", TKind::SubkeyValues, {},
              "MonitorProcess"),
        place("AppInit_DLLs", nt + "Windows", TKind::Values, {"AppInit_DLLs", "LoadAppInit_DLLs"}),
        place("AppInit_DLLs (32-bit)", nt + "Windows", TKind::Values,
              {"AppInit_DLLs", "LoadAppInit_DLLs"}, nullptr, true),
        place("LSA packages", control + "Lsa", TKind::Values,
              {"Authentication Packages", "Security Packages", "Notification Packages"}),
        place("BootExecute", control + "Session Manager", TKind::Values, {"BootExecute"}),
        place("Print Monitors", control + "Print\\Monitors", TKind::SubkeyValues, {}, "Driver"),
        place("Startup folder", Narrow(CommonStartupFolder()), TKind::FolderFiles),
        place("Scheduled tasks", Narrow(TasksFolder()), TKind::Tasks),
    };
  }

  std::vector<TAutostartKey> WatchedKeys() override {
    std::vector<TAutostartKey> keys;
    for (const char* name : {"Run", "RunOnce", "RunOnceEx", "RunServices", "RunServicesOnce"}) {
      keys.push_back({name, kCurrentVersion + std::string(name), std::nullopt});
    }
    keys.push_back(
        {"Shell", "\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Shell"});
    keys.push_back({"Environment",
                    "\\System\\CurrentControlSet\\control\\session manager\\environment",
                    std::nullopt});
    for (const char* name : {"Run", "RunOnce"}) {
      keys.push_back({std::string(name) + " (32-bit)", kCurrentVersion + std::string(name),
                      std::nullopt, true});
    }
    return keys;
  }

  std::vector<TAutostartEntry> ReadEntries(const TAutostartKey& key) override {
    return Read(key).entries;
  }

  TAutostartReading Read(const TAutostartKey& key) override {
    TAutostartReading reading;
    if (key.extended) {
      ReadExtended(key, reading);
      return reading;
    }
    const REGSAM view = key.view_32bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    win::TRegKey opened;
    // Paths are written with a leading "\", which the registry does not take.
    if (!OpenPlaceKey(RegistryPath(key.key_path), view, opened, reading)) return reading;
    std::vector<std::wstring> names;
    if (key.value_name) {
      names.push_back(Widen(*key.value_name));
    } else {
      EnumerateNames(opened.Get(), false, reading,
                     [&names](const std::wstring& name) { names.push_back(name); });
    }
    for (const std::wstring& name : names) {
      reading.entries.push_back({Narrow(name), ValueText(opened.Get(), name).value_or("")});
    }
    return reading;
  }

 private:
  void ReadExtended(const TAutostartKey& key, TAutostartReading& reading) {
    using TKind = TAutostartKey::TKind;
    std::vector<TAutostartEntry>& entries = reading.entries;
    if (key.kind == TKind::FolderFiles || key.kind == TKind::Tasks) {
      namespace fs = std::filesystem;
      if (key.key_path.empty()) return;
      const fs::path folder(Widen(key.key_path));
      std::error_code error;
      std::size_t seen = 0;
      fs::recursive_directory_iterator file(folder, error), end;
      for (; !error && file != end; file.increment(error)) {
        if (key.kind == TKind::FolderFiles) file.disable_recursion_pending();
        std::error_code kind;
        if (!file->is_regular_file(kind)) continue;
        if (++seen > kMaxItems) {
          NoteCut(reading, "only 10,000 files are read");
          break;
        }
        bool long_file = false;
        const auto content = FileStart(file->path(), long_file);
        const std::string name = Narrow(fs::relative(file->path(), folder, kind).wstring());
        if (!content) {  // locked or refused now: said, the others still read
          if (reading.failure.empty()) reading.failure = name + " cannot be read";
          continue;
        }
        if (long_file) NoteCut(reading, "only the first MB of " + name + " is read");
        std::string text = "sha256 " + HexDigest(Sha256(*content));
        if (key.kind == TKind::Tasks) text = TaskCommands(TaskText(*content)) + " ; " + text;
        entries.push_back({name, text});
      }
      if (error && error != std::errc::no_such_file_or_directory) {
        reading.failure = "the folder cannot be listed: " + error.message();
      }
      return;
    }
    const REGSAM view = key.view_32bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    win::TRegKey opened;
    if (!OpenPlaceKey(RegistryPath(key.key_path), view, opened, reading)) return;
    if (key.kind == TKind::SubkeyValues) {
      const std::wstring value = Widen(key.value_name.value_or(""));
      EnumerateNames(opened.Get(), true, reading, [&](const std::wstring& name) {
        win::TRegKey subkey;
        if (RegOpenKeyExW(opened.Get(), name.c_str(), 0, KEY_READ | view, subkey.Receive()) !=
            ERROR_SUCCESS) {
          return;
        }
        for (std::string& text : ValueTexts(subkey.Get(), value)) {
          entries.push_back({Narrow(name), std::move(text)});
        }
      });
      return;
    }
    if (key.values.empty()) {  // every value of the key
      EnumerateNames(opened.Get(), false, reading, [&](const std::wstring& name) {
        for (std::string& text : ValueTexts(opened.Get(), name)) {
          entries.push_back({Narrow(name), std::move(text)});
        }
      });
      return;
    }
    for (const std::string& value : key.values) {
      for (std::string& text : ValueTexts(opened.Get(), Widen(value))) {
        entries.push_back({value, std::move(text)});
      }
    }
  }
};

}  // namespace

std::unique_ptr<TAutostartSource> MakeSystemAutostartSource() {
  return std::make_unique<TRegistryAutostartSource>();
}

}  // namespace warderon
