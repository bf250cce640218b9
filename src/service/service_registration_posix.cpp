#include <ostream>

#include "service/service_registration.h"

namespace warderon {
namespace {

int NotOnLinux(std::ostream& out) {
  out << "warderon: service registration is for Windows; on Linux run 'warderon -run' "
         "(packaging/warderon.service is a systemd unit for it)\n";
  return 1;
}

}  // namespace

int InstallService(bool /*silent*/, std::ostream& out) { return NotOnLinux(out); }
int UninstallService(bool /*silent*/, std::ostream& out) { return NotOnLinux(out); }
const char* OwnServiceName() { return "warderon.service"; }

bool ServiceHostAvailable() { return false; }
int RunAsService(std::ostream& out) { return NotOnLinux(out); }

}  // namespace warderon
