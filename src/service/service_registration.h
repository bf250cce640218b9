// The program as a Windows service: registration with the Service Control
// Manager and the service's own run. On Linux the same calls explain what to
// use instead (the foreground daemon and its systemd unit).
#pragma once

#include <iosfwd>

namespace warderon {

constexpr char kServiceName[] = "WarderonService";
constexpr char kServiceDisplayName[] = "Warderon";

// Register or remove the service. The result is printed and, unless silent,
// shown in a message box; the exit code is 0 on success and 1 on failure.
int InstallService(bool silent, std::ostream& out);
int UninstallService(bool silent, std::ostream& out);

// The name the service manager knows this program by (Windows: the
// service's name; Linux: the packaged systemd unit), whose configuration the
// services monitor always watches.
const char* OwnServiceName();

// True where the program can run as a service (Windows).
bool ServiceHostAvailable();

// Connects to the Service Control Manager and serves the service until it
// stops. When the program was not started by the Service Control Manager,
// prints how to install it or run it in a console, and returns 1.
int RunAsService(std::ostream& out);

}  // namespace warderon
