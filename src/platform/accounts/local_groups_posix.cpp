// Members of a group from the group database: its listed members, then the
// users whose primary group it is, each as host\user.
#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>

#include <vector>

#include "platform/accounts/local_groups.h"
#include "platform/net/host_name.h"

namespace warderon {
namespace {

class TGroupDatabase final : public TLocalGroups {
 public:
  void GetMembers(const std::string& group, std::vector<std::string>& members) override {
    std::vector<char> buffer(16384);
    group_entry entry{};
    struct group* found = nullptr;
    while (getgrnam_r(group.c_str(), &entry.value, buffer.data(), buffer.size(), &found) ==
           ERANGE) {
      buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return;
    const std::string domain = GetLocalHostName();
    std::vector<std::string> names;
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
      names.emplace_back(*member);
    }
    const gid_t gid = found->gr_gid;
    // The primary-group users: the password database, read with the
    // reentrant call (the worker is its only reader here).
    setpwent();
    std::vector<char> user_buffer(16384);
    passwd user{};
    passwd* next = nullptr;
    while (getpwent_r(&user, user_buffer.data(), user_buffer.size(), &next) == 0 &&
           next != nullptr) {
      if (next->pw_gid == gid &&
          std::find(names.begin(), names.end(), next->pw_name) == names.end()) {
        names.emplace_back(next->pw_name);
      }
    }
    endpwent();
    for (const std::string& name : names) {
      if (!name.empty()) members.push_back(domain + "\\" + name);
    }
  }

 private:
  struct group_entry {
    struct group value;
  };
};

}  // namespace

std::unique_ptr<TLocalGroups> MakeSystemLocalGroups() { return std::make_unique<TGroupDatabase>(); }

}  // namespace warderon
