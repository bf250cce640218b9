// The machine's host name as the sockets library reports it.
#pragma once

#include <string>

namespace warderon {

// Empty text when the name cannot be obtained.
std::string GetLocalHostName();

}  // namespace warderon
