#include <pwd.h>
#include <shadow.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/accounts/local_users.h"

namespace warderon {
namespace {

// "yes" when the password field locks the account ("!" or "*" first, as
// passwd -l and useradd leave it), "no" when it does not, "unknown" when
// the shadow file is not readable (not root).
std::string Locked(const char* name) {
  spwd entry{};
  spwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getspnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return "unknown";
  }
  const char* password = found->sp_pwdp != nullptr ? found->sp_pwdp : "";
  return password[0] == '!' || password[0] == '*' ? "yes" : "no";
}

class TPasswdUsers final : public TLocalUsers {
 public:
  std::vector<TLocalUser> List(std::size_t limit, bool& truncated) override {
    truncated = false;
    std::vector<TLocalUser> users;
    // The file itself, not every name service: a directory's accounts are
    // the directory monitor's.
    std::FILE* file = std::fopen("/etc/passwd", "re");
    if (file == nullptr) {
      throw TLocalUsersError(std::string("read /etc/passwd: ") + std::strerror(errno));
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    while (fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found) == 0 &&
           found != nullptr) {
      if (users.size() == limit) {
        truncated = true;
        break;
      }
      users.push_back({found->pw_name,
                       {{"uid", std::to_string(found->pw_uid)},
                        {"gid", std::to_string(found->pw_gid)},
                        {"shell", found->pw_shell != nullptr ? found->pw_shell : ""},
                        {"locked", Locked(found->pw_name)}}});
    }
    std::fclose(file);
    return users;
  }
};

}  // namespace

std::unique_ptr<TLocalUsers> MakeSystemLocalUsers() { return std::make_unique<TPasswdUsers>(); }

}  // namespace warderon
