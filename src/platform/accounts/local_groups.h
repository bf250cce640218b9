// Members of the machine's local groups, as domain\name texts.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace warderon {

class TLocalGroups {
 public:
  virtual ~TLocalGroups() = default;
  // Appends the current members of the group, in the order the platform
  // returns them. Never raises: a group that does not exist or cannot be
  // read adds nothing.
  virtual void GetMembers(const std::string& group, std::vector<std::string>& members) = 0;
};

std::unique_ptr<TLocalGroups> MakeSystemLocalGroups();

}  // namespace warderon
