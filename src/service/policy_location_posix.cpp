#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/store/sqlite_policy_backend.h"
#include "service/policy_location.h"

namespace warderon {
namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string DefaultStorePath() {
  if (const std::string chosen = EnvironmentValue("WARDERON_STORE"); !chosen.empty()) return chosen;
  if (geteuid() == 0) return "/var/lib/warderon/policy.sqlite";
  std::string state = EnvironmentValue("XDG_STATE_HOME");
  if (state.empty()) {
    const std::string home = EnvironmentValue("HOME");
    if (home.empty()) throw TPolicyError("no policy store: set -store, WARDERON_STORE or HOME");
    state = home + "/.local/state";
  }
  return state + "/warderon/policy.sqlite";
}

// The folders of the store that do not exist yet are made for the owner
// alone: the store holds the mail and directory passwords.
void CreateOwnerFolders(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  for (std::size_t end = folder.find('/', 1); !folder.empty(); end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw TPolicyError("policy store '" + path + "': cannot create folder '" + part +
                         "': " + std::generic_category().message(errno));
    }
    if (end == std::string::npos) break;
  }
}

}  // namespace

std::string CataloguePath(const std::optional<std::string>& store_path) {
  const std::filesystem::path store(store_path ? *store_path : DefaultStorePath());
  return (store.parent_path() / "files.lst").string();
}

std::unique_ptr<TPolicyBackend> OpenPolicyBackend(const std::optional<std::string>& store_path,
                                                  TStoreUser user) {
  const std::string path = store_path ? *store_path : DefaultStorePath();
  if (user != TStoreUser::Reader) CreateOwnerFolders(path);
  return std::make_unique<TSqlitePolicyBackend>(
      path, user == TStoreUser::Daemon ? TSqliteCheck::EveryPage : TSqliteCheck::Header,
      user == TStoreUser::Reader ? TSqliteOpen::ReadOnly : TSqliteOpen::CreateOrWrite);
}

}  // namespace warderon
