// The systemd service unit a process runs in, from its control group.
#include <fstream>

#include "platform/process/process_services.h"

namespace warderon {
namespace {

class TCgroupProcessServices final : public TProcessServices {
 public:
  std::vector<std::string> ListProcessServices(std::uint32_t pid) override {
    std::ifstream groups("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
      // "ID:CONTROLLERS:/system.slice/ssh.service"
      const auto slash = line.rfind('/');
      if (slash == std::string::npos) continue;
      const std::string unit = line.substr(slash + 1);
      if (unit.size() > 8 && unit.compare(unit.size() - 8, 8, ".service") == 0) return {unit};
    }
    return {};
  }
};

}  // namespace

std::unique_ptr<TProcessServices> MakeSystemProcessServices() {
  return std::make_unique<TCgroupProcessServices>();
}

}  // namespace warderon
