// Service units of systemd, when systemd runs: the unit's description is the
// display name and "active" counts as running.
#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "platform/service_list.h"

namespace warderon {
namespace {

struct TPipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

class TSystemdServiceList final : public TServiceList {
 public:
  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    struct stat info {};
    if (stat("/run/systemd/system", &info) != 0) return;  // systemd is not the service manager
    const std::unique_ptr<FILE, TPipeCloser> pipe(popen(
        "systemctl list-units --type=service --all --plain --no-legend --no-pager 2>/dev/null",
        "r"));
    if (!pipe) return;
    std::vector<TServiceEntry> batch;
    char line[4096];
    while (fgets(line, sizeof line, pipe.get()) != nullptr) {
      // UNIT LOAD ACTIVE SUB DESCRIPTION...
      std::istringstream fields(line);
      std::string unit, load, active, sub;
      if (!(fields >> unit >> load >> active >> sub)) continue;
      std::string description;
      std::getline(fields >> std::ws, description);
      while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) {
        description.pop_back();
      }
      batch.push_back({description.empty() ? unit : description, active == "active"});
    }
    if (!batch.empty()) on_batch(batch);
  }
};

}  // namespace

std::unique_ptr<TServiceList> MakeSystemServiceList() {
  return std::make_unique<TSystemdServiceList>();
}

}  // namespace warderon
