// Service manager and group database doubles: they deliver what the test
// put in, in the batches the test chose.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/accounts/local_groups.h"
#include "platform/accounts/local_users.h"
#include "platform/accounts/service_list.h"

namespace warderon::testing {

class TFakeServiceList final : public TServiceList {
 public:
  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    ++enumerations;
    for (std::size_t i = 0; i < batches.size(); ++i) {
      if (fail_after_batches && i == *fail_after_batches) {
        throw TServiceListError("the service manager did not answer");
      }
      on_batch(batches[i]);
    }
  }
  std::vector<TServiceConfig> Configurations(std::size_t limit, bool& truncated) override {
    if (fail_configurations) throw TServiceListError("the service manager did not answer");
    truncated = configs.size() > limit;
    return {configs.begin(),
            configs.begin() + static_cast<std::ptrdiff_t>(std::min(limit, configs.size()))};
  }
  std::optional<TServiceConfig> Configuration(const std::string& name) override {
    if (fail_configurations) throw TServiceListError("the service manager did not answer");
    for (const TServiceConfig& config : configs) {
      if (config.name == name) return config;
    }
    return std::nullopt;
  }
  // Puts every service in one batch.
  void Set(std::vector<TServiceEntry> services) { batches = {std::move(services)}; }

  std::vector<TServiceConfig> configs;
  bool fail_configurations = false;

  std::vector<std::vector<TServiceEntry>> batches;
  int enumerations = 0;
  // Fails the listing after this many batches were handed over.
  std::optional<std::size_t> fail_after_batches;
};

class TFakeLocalUsers final : public TLocalUsers {
 public:
  std::vector<TLocalUser> List(std::size_t limit, bool& truncated) override {
    if (fail) throw TLocalUsersError("the account list did not answer");
    truncated = users.size() > limit;
    return {users.begin(),
            users.begin() + static_cast<std::ptrdiff_t>(std::min(limit, users.size()))};
  }
  std::vector<TLocalUser> users;
  bool fail = false;
};

class TFakeLocalGroups final : public TLocalGroups {
 public:
  void GetMembers(const std::string& group, std::vector<std::string>& out) override {
    const auto it = members.find(group);
    if (it != members.end()) out.insert(out.end(), it->second.begin(), it->second.end());
  }
  std::map<std::string, std::vector<std::string>> members;
};

}  // namespace warderon::testing
