// The services known to the local service manager: per service its display
// name and whether it runs. Windows: the Win32 services of the Service
// Control Manager. Linux: the service units of systemd, when it runs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace warderon {

struct TServiceEntry {
  std::string display_name;
  bool running = false;  // only the running state counts; paused or pending do not
};

// A service's configuration as the manager resolves it: each field by its
// name ("binary path", "start type", ...; Linux: "ExecStart", "User", ...).
struct TServiceConfig {
  std::string name;  // the service's own name, which its configuration is kept by
  std::string display_name;
  std::vector<std::pair<std::string, std::string>> fields;  // empty: it could not be read
};

// The service manager could not be asked, or its answer was cut short.
class TServiceListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TServiceList {
 public:
  virtual ~TServiceList() = default;
  // Hands the services over in batches, in the order the manager delivers
  // them. Raises TServiceListError when the listing fails at any point: a
  // failed listing must never look like services that vanished. A machine
  // without a service manager (Linux without systemd) has no services.
  virtual void Enumerate(
      const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) = 0;
  // The configuration of at most limit services; truncated says that there
  // were more. Raises TServiceListError as Enumerate does. A manager whose
  // configuration cannot be asked has none.
  virtual std::vector<TServiceConfig> Configurations(std::size_t limit, bool& truncated) {
    static_cast<void>(limit);
    truncated = false;
    return {};
  }
  // One service's configuration by its own name; nothing when there is no
  // such service. Raises TServiceListError when the manager cannot be asked.
  virtual std::optional<TServiceConfig> Configuration(const std::string& name) {
    static_cast<void>(name);
    return std::nullopt;
  }
};

std::unique_ptr<TServiceList> MakeSystemServiceList();

}  // namespace warderon
