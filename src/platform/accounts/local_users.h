// The machine's local accounts with what decides what they may do:
// Windows (the network-management user list): enabled, password never
// expires, member of the local Administrators group; Linux (the account
// functions over /etc/passwd and /etc/shadow): uid, gid, shell, locked.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace warderon {

struct TLocalUser {
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;  // in the order reported
};

// The account list could not be read, or its answer was cut short.
class TLocalUsersError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TLocalUsers {
 public:
  virtual ~TLocalUsers() = default;
  // At most limit accounts, in the platform's order; truncated says there
  // were more. Raises TLocalUsersError when the list cannot be read.
  virtual std::vector<TLocalUser> List(std::size_t limit, bool& truncated) = 0;
};

std::unique_ptr<TLocalUsers> MakeSystemLocalUsers();

}  // namespace warderon
