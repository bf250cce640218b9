// The autostart registry keys below HKEY_LOCAL_MACHINE, in the 64-bit view,
// then the Run and RunOnce keys of the 32-bit view, where programs installed
// as 32-bit put their autostart values.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include "platform/autostart/autostart_source.h"

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

class TRegistryAutostartSource final : public TAutostartSource {
 public:
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
    const REGSAM view = key.view_32bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    win::TRegKey opened;
    // Paths are written with a leading "\", which the registry does not take.
    const std::wstring path = Widen(key.key_path.substr(key.key_path.front() == '\\' ? 1 : 0));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, opened.Receive()) !=
        ERROR_SUCCESS) {
      return {};
    }
    std::vector<std::wstring> names;
    if (key.value_name) {
      names.push_back(Widen(*key.value_name));
    } else {
      for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = 16384;
        const LONG result =
            RegEnumValueW(opened.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) names.emplace_back(name, length);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) break;
      }
    }
    std::vector<TAutostartEntry> entries;
    for (const std::wstring& name : names) {
      entries.push_back({Narrow(name), ValueText(opened.Get(), name).value_or("")});
    }
    return entries;
  }
};

}  // namespace

std::unique_ptr<TAutostartSource> MakeSystemAutostartSource() {
  return std::make_unique<TRegistryAutostartSource>();
}

}  // namespace warderon
