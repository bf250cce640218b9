// "warderon -policy ...": read and edit the policy store by hand. Reads here
// never write defaults back; they show the store as it is.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/store/policy_backend.h"

namespace warderon {

// Returns the process exit code: 0 done, 1 not found or store failure,
// 2 bad arguments.
int RunPolicyCommand(TPolicyBackend& backend, const std::vector<std::string>& words,
                     const std::optional<std::string>& value_type, std::ostream& out,
                     std::ostream& err);

// Whether the command can change the store (set, delete, import, or words
// that are no command); list, get and export only read it.
bool PolicyCommandWrites(const std::vector<std::string>& words);

// One value as printed: name, tab, type, tab, data.
std::string FormatPolicyValue(const std::string& name, const TPolicyValue& value);

}  // namespace warderon
