// The machine's host name as the sockets library reports it.
#pragma once

#include <string>

namespace warderon {

// Empty text when the name cannot be obtained.
std::string GetLocalHostName();

// The machine's DNS domain with a leading "." (".corp.example"), or empty
// when it has none: what follows the host's own name in its full name.
std::string GetLocalDnsDomainSuffix();

}  // namespace warderon
