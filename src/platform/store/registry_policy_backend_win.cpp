#include "platform/store/registry_policy_backend.h"

#include <algorithm>
#include <cstring>

#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

using win::ErrorText;
using win::Narrow;
using win::TRegKey;
using win::Widen;

HKEY HiveKey(TRegistryHive hive) {
  return hive == TRegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Text data as stored: UTF-16 with a terminating NUL that may or may not be
// there; anything after the first NUL is not part of the text.
std::string TextFromData(const std::vector<BYTE>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  const auto nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  return Narrow(text);
}

TPolicyValue ValueFromData(DWORD type, const std::vector<BYTE>& data) {
  switch (type) {
    case REG_SZ:
      return TPolicyValue::MakeText(TextFromData(data));
    case REG_EXPAND_SZ:
      return TPolicyValue::MakeExpandText(TextFromData(data));
    case REG_DWORD:
      if (data.size() == sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, data.data(), sizeof number);
        return TPolicyValue::MakeInteger(static_cast<std::int32_t>(number));
      }
      break;
    case REG_BINARY:
      return TPolicyValue::MakeBinary({data.begin(), data.end()});
    default:
      break;
  }
  TPolicyValue unknown;  // REG_MULTI_SZ, REG_QWORD, a DWORD of the wrong size, ...
  unknown.binary.assign(data.begin(), data.end());
  return unknown;
}

constexpr char kStagingSuffix[] = "~new";
constexpr char kRetiredSuffix[] = "~old";

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string LeafOf(const std::string& section) {
  const auto separator = section.rfind('\\');
  return separator == std::string::npos ? section : section.substr(separator + 1);
}

using TRegRenameKey = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);

// RegRenameKey exists from Windows Vista on; looked up at run time.
TRegRenameKey RenameFunction() {
  const HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  return advapi == nullptr ? nullptr
                           : reinterpret_cast<TRegRenameKey>(
                                 reinterpret_cast<void*>(GetProcAddress(advapi, "RegRenameKey")));
}

}  // namespace

TRegistryPolicyBackend::TRegistryPolicyBackend(TRegistryHive hive, std::string root_path)
    : hive_(hive), root_path_(std::move(root_path)) {
  try {
    RecoverRewrites("");
  } catch (const TPolicyError&) {
    // An unreadable key is reported by the operations that need it.
  }
}

std::string TRegistryPolicyBackend::Describe() const {
  return std::string("registry key ") +
         (hive_ == TRegistryHive::LocalMachine ? "HKLM\\" : "HKCU\\") + root_path_;
}

std::string TRegistryPolicyBackend::KeyPath(const std::string& section) const {
  return section.empty() ? root_path_ : root_path_ + "\\" + section;
}

namespace {

TRegKey CreateKey(HKEY hive, const std::string& path, const std::string& where) {
  TRegKey key;
  const LONG status =
      RegCreateKeyExW(hive, Widen(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr);
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(ErrorText(where + ": open key '" + path + "'", static_cast<DWORD>(status)));
  }
  return key;
}

// Opens an existing key; an invalid key when it does not exist.
TRegKey OpenExistingKey(HKEY hive, const std::string& path, const std::string& where) {
  TRegKey key;
  const LONG status = RegOpenKeyExW(hive, Widen(path).c_str(), 0, KEY_READ, key.Receive());
  if (status == ERROR_FILE_NOT_FOUND) return TRegKey();
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(ErrorText(where + ": open key '" + path + "'", static_cast<DWORD>(status)));
  }
  return key;
}

}  // namespace

void TRegistryPolicyBackend::CreateSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  CreateKey(HiveKey(hive_), KeyPath(section), Describe());
}

std::optional<TPolicyValue> TRegistryPolicyBackend::ReadValue(const std::string& section,
                                                              const std::string& name) {
  const std::lock_guard lock(mutex_);
  const TRegKey key = OpenExistingKey(HiveKey(hive_), KeyPath(section), Describe());
  if (!key.Valid()) return std::nullopt;
  const std::wstring wide_name = Widen(name);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key.Get(), wide_name.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size);
    status = RegQueryValueExW(key.Get(), wide_name.c_str(), nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // grew between the two calls
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS) {
      throw TPolicyError(ErrorText(Describe() + ": read value '" + name + "' of '" + section + "'",
                                   static_cast<DWORD>(status)));
    }
    data.resize(size);
    return ValueFromData(type, data);
  }
  throw TPolicyError(Describe() + ": read value '" + name + "' of '" + section + "' failed");
}

void TRegistryPolicyBackend::WriteValue(const std::string& section, const std::string& name,
                                        const TPolicyValue& value) {
  const std::lock_guard lock(mutex_);
  const TRegKey key = CreateKey(HiveKey(hive_), KeyPath(section), Describe());
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  switch (value.type) {
    case TPolicyValueType::Text:
    case TPolicyValueType::ExpandText: {
      type = value.type == TPolicyValueType::Text ? REG_SZ : REG_EXPAND_SZ;
      const std::wstring text = Widen(value.text);
      data.resize((text.size() + 1) * sizeof(wchar_t));
      std::memcpy(data.data(), text.c_str(), data.size());
      break;
    }
    case TPolicyValueType::Integer: {
      type = REG_DWORD;
      const auto number = static_cast<DWORD>(value.integer);
      data.resize(sizeof number);
      std::memcpy(data.data(), &number, sizeof number);
      break;
    }
    case TPolicyValueType::Binary:
    case TPolicyValueType::Unknown:
      type = value.type == TPolicyValueType::Binary ? REG_BINARY : REG_NONE;
      data.assign(value.binary.begin(), value.binary.end());
      break;
  }
  const LONG status = RegSetValueExW(key.Get(), Widen(name).c_str(), 0, type, data.data(),
                                     static_cast<DWORD>(data.size()));
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(ErrorText(Describe() + ": write value '" + name + "' of '" + section + "'",
                                 static_cast<DWORD>(status)));
  }
}

bool TRegistryPolicyBackend::DeleteValue(const std::string& section, const std::string& name) {
  const std::lock_guard lock(mutex_);
  TRegKey key;
  LONG status = RegOpenKeyExW(HiveKey(hive_), Widen(KeyPath(section)).c_str(), 0, KEY_SET_VALUE,
                              key.Receive());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.Get(), Widen(name).c_str());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(ErrorText(Describe() + ": delete value '" + name + "' of '" + section + "'",
                                 static_cast<DWORD>(status)));
  }
  return true;
}

void TRegistryPolicyBackend::DeleteSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  if (section.empty()) return;  // the root is never deleted
  const TRegKey root = CreateKey(HiveKey(hive_), root_path_, Describe());
  const LONG status = RegDeleteTreeW(root.Get(), Widen(section).c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    const LONG removed = RegDeleteKeyW(root.Get(), Widen(section).c_str());
    if (removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) return;
    throw TPolicyError(
        ErrorText(Describe() + ": delete section '" + section + "'", static_cast<DWORD>(removed)));
  }
  throw TPolicyError(
      ErrorText(Describe() + ": delete section '" + section + "'", static_cast<DWORD>(status)));
}

bool TRegistryPolicyBackend::SectionExists(const std::string& section) {
  return OpenExistingKey(HiveKey(hive_), KeyPath(section), Describe()).Valid();
}

void TRegistryPolicyBackend::RenameSection(const std::string& section,
                                           const std::string& new_leaf) {
  const TRegRenameKey rename = RenameFunction();
  if (rename == nullptr) throw TPolicyError(Describe() + ": RegRenameKey is not available");
  const TRegKey root = CreateKey(HiveKey(hive_), root_path_, Describe());
  const LONG status = rename(root.Get(), Widen(section).c_str(), Widen(new_leaf).c_str());
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(
        ErrorText(Describe() + ": rename section '" + section + "'", static_cast<DWORD>(status)));
  }
}

void TRegistryPolicyBackend::RewriteSection(const std::string& section,
                                            const std::vector<TPolicyNamedValue>& values) {
  const std::lock_guard lock(mutex_);
  if (section.empty() || RenameFunction() == nullptr) {
    // The root is never swapped, nor is anything on a system without
    // RegRenameKey: rewritten in place there.
    DeleteSection(section);
    CreateSection(section);
    for (const TPolicyNamedValue& value : values) WriteValue(section, value.name, value.value);
    return;
  }
  const std::string staging = section + kStagingSuffix;
  const std::string retired = section + kRetiredSuffix;
  DeleteSection(staging);
  DeleteSection(retired);
  CreateSection(staging);
  for (const TPolicyNamedValue& value : values) WriteValue(staging, value.name, value.value);
  if (SectionExists(section)) RenameSection(section, LeafOf(retired));
  RenameSection(staging, LeafOf(section));
  DeleteSection(retired);
}

std::vector<std::string> TRegistryPolicyBackend::ListSections() {
  std::vector<std::string> names;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string section = pending.back();
    pending.pop_back();
    const TRegKey key = OpenExistingKey(HiveKey(hive_), KeyPath(section), Describe());
    if (!key.Valid()) continue;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = 256;
      if (RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      const std::string child = (section.empty() ? "" : section + "\\") + Narrow({name, length});
      names.push_back(child);
      pending.push_back(child);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

void TRegistryPolicyBackend::RecoverRewrites(const std::string& section) {
  std::vector<std::string> children;
  {
    const TRegKey key = OpenExistingKey(HiveKey(hive_), KeyPath(section), Describe());
    if (!key.Valid()) return;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = 256;
      const LONG status =
          RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) break;
      children.push_back(Narrow({name, length}));
    }
  }
  const std::string prefix = section.empty() ? std::string() : section + "\\";
  // A staged section whose original is gone was complete: it takes the
  // place (the swap stopped between its renames). One beside its original
  // was cut short: it goes. A retired section goes once its place is taken.
  for (const std::string& suffix : {std::string(kStagingSuffix), std::string(kRetiredSuffix)}) {
    for (const std::string& child : children) {
      if (!EndsWith(child, suffix)) continue;
      const std::string base = child.substr(0, child.size() - suffix.size());
      if (!SectionExists(prefix + child)) continue;  // already handled
      if (SectionExists(prefix + base)) {
        DeleteSection(prefix + child);
      } else {
        RenameSection(prefix + child, base);
      }
    }
  }
  for (const std::string& child : children) {
    if (!EndsWith(child, kStagingSuffix) && !EndsWith(child, kRetiredSuffix)) {
      RecoverRewrites(prefix + child);
    }
  }
}

std::vector<TPolicyNamedValue> TRegistryPolicyBackend::ReadSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  const TRegKey key = OpenExistingKey(HiveKey(hive_), KeyPath(section), Describe());
  std::vector<TPolicyNamedValue> values;
  if (!key.Valid()) return values;
  DWORD count = 0;
  DWORD max_name = 0;
  DWORD max_data = 0;
  LONG status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 &count, &max_name, &max_data, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    throw TPolicyError(
        ErrorText(Describe() + ": query section '" + section + "'", static_cast<DWORD>(status)));
  }
  std::wstring name_buffer(max_name + 2, L'\0');
  std::vector<BYTE> data(max_data + 2);
  for (DWORD index = 0;; ++index) {
    auto name_length = static_cast<DWORD>(name_buffer.size());
    auto data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    status = RegEnumValueW(key.Get(), index, name_buffer.data(), &name_length, nullptr, &type,
                           data.data(), &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) {
      // A value grew while we read: widen the buffers and read this index again.
      name_buffer.resize(name_buffer.size() * 2 + 256);
      data.resize(data.size() * 2 + 4096);
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) {
      throw TPolicyError(ErrorText(Describe() + ": enumerate section '" + section + "'",
                                   static_cast<DWORD>(status)));
    }
    const std::vector<BYTE> value_data(data.begin(), data.begin() + data_size);
    values.push_back({Narrow({name_buffer.data(), name_length}), ValueFromData(type, value_data)});
  }
  return values;
}

void TRegistryPolicyBackend::RunAtomically(const std::function<void()>& work) {
  const std::lock_guard lock(mutex_);
  work();
}

}  // namespace warderon
