// The systemd service list with its systemctl program and the path whose
// presence says systemd is the service manager chosen by the caller, so
// tests can run it against a systemctl of their own.
#pragma once

#include <memory>
#include <string>

#include "platform/accounts/service_list.h"

namespace warderon {

std::unique_ptr<TServiceList> MakeSystemdServiceList(const std::string& systemctl,
                                                     const std::string& manager_marker);

}  // namespace warderon
