#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/posix/sqlite_policy_backend.h"
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

}  // namespace

std::string CataloguePath(const std::optional<std::string>& store_path) {
  const std::filesystem::path store(store_path ? *store_path : DefaultStorePath());
  return (store.parent_path() / "files.lst").string();
}

std::unique_ptr<TPolicyBackend> OpenPolicyBackend(const std::optional<std::string>& store_path,
                                                  TStoreUser user) {
  const std::string path = store_path ? *store_path : DefaultStorePath();
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
      throw TPolicyError("policy store '" + path + "': cannot create folder '" + folder.string() +
                         "': " + error.message());
    }
  }
  return std::make_unique<TSqlitePolicyBackend>(
      path, user == TStoreUser::Daemon ? TSqliteCheck::EveryPage : TSqliteCheck::Header);
}

}  // namespace warderon
