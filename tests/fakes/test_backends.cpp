#include "fakes/test_backends.h"

#include <atomic>
#include <filesystem>
#include <random>

#include "platform/store/memory_policy_backend.h"

#ifdef _WIN32
#include "platform/store/registry_policy_backend.h"
#include "platform/win/win_support.h"
#else
#include "platform/store/sqlite_policy_backend.h"
#endif

namespace warderon::testing {
namespace {

// This test program's own number: test programs run side by side, so each
// names (and removes) only what it made.
const std::string& ProcessStem() {
  static const std::string stem = std::to_string(std::random_device{}());
  return stem;
}

std::string UniqueStem() {
  static std::atomic<int> counter{0};
  return ProcessStem() + "-" + std::to_string(++counter);
}

// This program's scratch folder. Never the temporary folder itself: the
// service's writers take the write rights of others from the folder of what
// they write, and must not do that to /tmp.
const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() / ("warderon-tests-" + ProcessStem());
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

// Removes what the tests created when the test program ends.
class TScratchRegistry {
 public:
  ~TScratchRegistry() {
    std::error_code ignored;
    for (const auto& path : paths_) {
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(path + suffix, ignored);
      }
    }
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_, ignored);
    }
#ifdef _WIN32
    RegDeleteTreeW(HKEY_CURRENT_USER, win::Widen(Root()).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, win::Widen(Root()).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, win::Widen(kRegistryRoot).c_str());  // only once empty
#endif
  }
  void Add(std::string path, std::string folder) {
    paths_.push_back(std::move(path));
    folder_ = std::move(folder);
  }
  static constexpr const char* kRegistryRoot = "Software\\WarderonTests";
  // This program's scratch keys, below the shared root.
  static std::string Root() { return std::string(kRegistryRoot) + "\\" + ProcessStem(); }

 private:
  std::vector<std::string> paths_;
  std::string folder_;  // held here: it must outlive every other static
};

TScratchRegistry& Scratch() {
  static TScratchRegistry scratch;
  return scratch;
}

}  // namespace

std::string ScratchPath(const std::string& stem) {
  const auto path = (ScratchFolder() / ("warderon-" + stem + "-" + UniqueStem())).string();
  Scratch().Add(path, ScratchFolder().string());
  return path;
}

#ifdef _WIN32
std::string ScratchRegistryPath() {
  Scratch();  // the scratch root goes when the process ends
  return TScratchRegistry::Root() + "\\" + UniqueStem();
}
#endif

bool RunningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::vector<TBackendKind> AllBackendKinds() {
  std::vector<TBackendKind> kinds;
  kinds.push_back({"Memory", [] { return std::make_unique<TMemoryPolicyBackend>(); }, true});
#ifdef _WIN32
  kinds.push_back({"Registry",
                   [] {
                     return std::make_unique<TRegistryPolicyBackend>(TRegistryHive::CurrentUser,
                                                                     ScratchRegistryPath());
                   },
                   !RunningUnderWine()});
#else
  kinds.push_back(
      {"Sqlite", [] { return std::make_unique<TSqlitePolicyBackend>(ScratchPath("store.sqlite")); },
       true});
#endif
  return kinds;
}

}  // namespace warderon::testing
