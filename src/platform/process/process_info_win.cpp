// Process information: ToolHelp snapshots and PSAPI, looked up at run time,
// tokens and account look-up, and the terminal services' process list.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <psapi.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include "platform/process/process_info.h"

namespace warderon {
namespace {

using win::Narrow;
using win::TKernelHandle;

// A snapshot handle is invalid as INVALID_HANDLE_VALUE, not as null.
struct TSnapshotTraits {
  using THandle = HANDLE;
  static THandle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(THandle handle) { CloseHandle(handle); }
};
using TSnapshot = win::TUniqueHandle<TSnapshotTraits>;

using win::TLibrary;

// The first bytes of a program's image: its headers, mapped as the file has
// them. The image base is left out: the loader rewrites it where the image
// was placed elsewhere than it asked.
constexpr std::size_t kHeaderBytes = 1024;
void BlankImageBase(std::vector<char>& headers) {
  if (headers.size() < 0x40) return;
  std::uint32_t pe = 0;
  std::memcpy(&pe, headers.data() + 0x3C, sizeof pe);
  const std::size_t optional = std::size_t{pe} + 24;
  if (optional + 32 > headers.size()) return;
  std::uint16_t magic = 0;
  std::memcpy(&magic, headers.data() + optional, sizeof magic);
  if (magic == 0x20B) std::memset(headers.data() + optional + 24, 0, 8);  // PE32+
  if (magic == 0x10B) std::memset(headers.data() + optional + 28, 0, 4);  // PE32
}

// The identity of a file (volume serial and file index), or nothing.
std::optional<std::pair<DWORD, ULONGLONG>> FileIdentity(const std::wstring& path) {
  const TKernelHandle file(
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.Valid() || GetFileInformationByHandle(file.Get(), &info) == FALSE) return std::nullopt;
  return std::pair{info.dwVolumeSerialNumber,
                   (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// A mapped file's name (a device path, or \??\C:\... under Wine) as a
// drive path; empty when no drive holds it.
std::wstring DrivePath(const std::wstring& device_path) {
  if (device_path.starts_with(L"\\??\\")) return device_path.substr(4);
  wchar_t drive[3] = L"A:";
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    drive[0] = letter;
    wchar_t target[MAX_PATH] = {};
    if (QueryDosDeviceW(drive, target, MAX_PATH) == 0) continue;
    const std::wstring prefix = std::wstring(target) + L"\\";
    if (device_path.starts_with(prefix)) {
      return std::wstring(drive) + L"\\" + device_path.substr(prefix.size());
    }
  }
  return L"";
}

// Whether the file at path is the one the process runs: its identity is
// the mapped image's where the system names that file, and its headers are
// the image's. Unknown (no rights to read the process) counts as the same:
// nothing is marked on a guess.
using TMappedFileName = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
bool ImageIsFileAt(TMappedFileName mapped_file_name, std::uint32_t pid, const BYTE* base,
                   const std::wstring& path) {
  const TKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process.Valid()) return true;
  wchar_t mapped[1024] = {};
  if (mapped_file_name != nullptr &&
      mapped_file_name(process.Get(), const_cast<BYTE*>(base), mapped, 1024) > 0) {
    const std::wstring image_path = DrivePath(mapped);
    const auto image = image_path.empty() ? std::nullopt : FileIdentity(image_path);
    const auto there = FileIdentity(path);
    if (image && there && *image != *there) return false;
  }
  std::vector<char> image(kHeaderBytes);
  SIZE_T got = 0;
  if (ReadProcessMemory(process.Get(), base, image.data(), image.size(), &got) == FALSE ||
      got != image.size()) {
    return true;
  }
  const TKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
  std::vector<char> on_disk(kHeaderBytes);
  DWORD read = 0;
  if (!file.Valid() || ReadFile(file.Get(), on_disk.data(), static_cast<DWORD>(on_disk.size()),
                                &read, nullptr) == FALSE) {
    return true;
  }
  if (read != on_disk.size()) return false;  // a smaller file than the image's headers
  BlankImageBase(image);
  BlankImageBase(on_disk);
  return image == on_disk;
}

using TCreateSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TProcessWalk = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32W*);
using TModuleWalk = BOOL(WINAPI*)(HANDLE, MODULEENTRY32W*);
using TEnumModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using TModuleFileName = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using TMemoryInfo = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);

class TWinProcessInfo final : public TProcessInfo {
 public:
  TWinProcessInfo() : psapi_(LoadLibraryW(L"PSAPI.dll")) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    create_snapshot_ = win::LookUpFunction<TCreateSnapshot>(kernel, "CreateToolhelp32Snapshot");
    process_first_ = win::LookUpFunction<TProcessWalk>(kernel, "Process32FirstW");
    process_next_ = win::LookUpFunction<TProcessWalk>(kernel, "Process32NextW");
    module_first_ = win::LookUpFunction<TModuleWalk>(kernel, "Module32FirstW");
    module_next_ = win::LookUpFunction<TModuleWalk>(kernel, "Module32NextW");
    enum_modules_ = win::LookUpFunction<TEnumModules>(psapi_.Get(), "EnumProcessModules");
    module_file_name_ = win::LookUpFunction<TModuleFileName>(psapi_.Get(), "GetModuleFileNameExW");
    memory_info_ = win::LookUpFunction<TMemoryInfo>(psapi_.Get(), "GetProcessMemoryInfo");
    mapped_file_name_ = win::LookUpFunction<TMappedFileName>(psapi_.Get(), "GetMappedFileNameW");
  }

  std::optional<std::vector<TProcessEntry>> ListProcesses() override {
    if (create_snapshot_ == nullptr || process_first_ == nullptr || process_next_ == nullptr) {
      return std::nullopt;
    }
    const TSnapshot snapshot(create_snapshot_(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) return std::nullopt;
    std::vector<TProcessEntry> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = process_first_(snapshot.Get(), &entry); more != FALSE;
         more = process_next_(snapshot.Get(), &entry)) {
      processes.push_back({entry.th32ProcessID, Narrow(entry.szExeFile)});
    }
    return processes;
  }

  std::optional<std::vector<TProcessEntry>> ListProcessesWithNames() override {
    WTS_PROCESS_INFOW* list = nullptr;
    DWORD count = 0;
    if (WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count) == FALSE) {
      return std::nullopt;
    }
    std::vector<TProcessEntry> processes;
    for (DWORD i = 0; i < count; ++i) {
      processes.push_back(
          {list[i].ProcessId, list[i].pProcessName != nullptr ? Narrow(list[i].pProcessName) : ""});
    }
    WTSFreeMemory(list);
    return processes;
  }

  std::optional<std::string> ExecutablePath(std::uint32_t pid) override {
    if (create_snapshot_ == nullptr || module_first_ == nullptr || module_next_ == nullptr) {
      return std::nullopt;
    }
    const TSnapshot snapshot(create_snapshot_(TH32CS_SNAPMODULE, pid));
    if (!snapshot.Valid()) return std::nullopt;
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = module_first_(snapshot.Get(), &entry); more != FALSE;
         more = module_next_(snapshot.Get(), &entry)) {
      if (entry.th32ProcessID != pid) continue;
      std::string path = Narrow(entry.szExePath);
      // An image file renamed or deleted away from its path, or another
      // file put in its place: what is there now is not what runs.
      if (GetFileAttributesW(entry.szExePath) == INVALID_FILE_ATTRIBUTES ||
          !ImageIsFileAt(mapped_file_name_, pid, entry.modBaseAddr, entry.szExePath)) {
        path += kDeletedImageMark;
      }
      return path;
    }
    return std::nullopt;
  }

  std::optional<std::vector<std::string>> ModuleFileNames(std::uint32_t pid) override {
    if (enum_modules_ == nullptr || module_file_name_ == nullptr) return std::nullopt;
    const TKernelHandle process(OpenProcess(0x410, FALSE, pid));
    if (!process.Valid()) return std::nullopt;
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    if (enum_modules_(process.Get(), modules.data(),
                      static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed) == FALSE) {
      return std::nullopt;
    }
    modules.resize(std::min<std::size_t>(modules.size(), needed / sizeof(HMODULE)));
    std::vector<std::string> names;
    for (const HMODULE module : modules) {
      wchar_t path[513] = {};
      const DWORD length = module_file_name_(process.Get(), module, path, 513);
      if (length > 0) names.push_back(Narrow({path, length}));
    }
    return names;
  }

  std::optional<TProcessOwner> OwnerAccount(std::uint32_t pid) override {
    const TKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process.Valid()) return std::nullopt;
    TKernelHandle token;
    if (OpenProcessToken(process.Get(), TOKEN_QUERY, token.Receive()) == FALSE) return std::nullopt;
    alignas(TOKEN_USER) BYTE buffer[520];
    DWORD size = 0;
    if (GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size) == FALSE) {
      return std::nullopt;
    }
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD name_length = 256;
    DWORD domain_length = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name,
                          &name_length, domain, &domain_length, &use) == FALSE) {
      return std::nullopt;
    }
    return TProcessOwner{Narrow(domain), Narrow(name)};
  }

  std::optional<TProcessMemory> MemoryCounters(std::uint32_t pid) override {
    if (memory_info_ == nullptr) return std::nullopt;
    const TKernelHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process.Valid()) return std::nullopt;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (memory_info_(process.Get(), &counters, sizeof counters) == FALSE) return std::nullopt;
    return TProcessMemory{counters.WorkingSetSize, counters.PagefileUsage};
  }

 private:
  TLibrary psapi_;
  TCreateSnapshot create_snapshot_ = nullptr;
  TProcessWalk process_first_ = nullptr;
  TProcessWalk process_next_ = nullptr;
  TModuleWalk module_first_ = nullptr;
  TModuleWalk module_next_ = nullptr;
  TEnumModules enum_modules_ = nullptr;
  TModuleFileName module_file_name_ = nullptr;
  TMemoryInfo memory_info_ = nullptr;
  TMappedFileName mapped_file_name_ = nullptr;
};

}  // namespace

bool IsServiceAccount(const TProcessOwner& owner) {
  std::string text = owner.domain + "\\" + owner.name;
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text.find("NTAUTHORITY") != std::string::npos;  // letter case counts
}

bool IsCheckableImagePath(const std::string& path) {
  if (path.size() < 2 || path[1] != ':') return false;
  return HasDeletedImageMark(path) ||
         GetFileAttributesW(win::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::unique_ptr<TProcessInfo> MakeSystemProcessInfo() {
  return std::make_unique<TWinProcessInfo>();
}

}  // namespace warderon
