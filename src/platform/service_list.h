// The services known to the local service manager: per service its display
// name and whether it runs. Windows: the Win32 services of the Service
// Control Manager. Linux: the service units of systemd, when it runs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace warderon {

struct TServiceEntry {
  std::string display_name;
  bool running = false;  // only the running state counts; paused or pending do not
};

class TServiceList {
 public:
  virtual ~TServiceList() = default;
  // Hands the services over in batches, in the order the manager delivers
  // them. Never raises: a manager that cannot be opened gives no batch, and a
  // failure part way ends the enumeration after the batches delivered so far.
  virtual void Enumerate(
      const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) = 0;
};

std::unique_ptr<TServiceList> MakeSystemServiceList();

}  // namespace warderon
