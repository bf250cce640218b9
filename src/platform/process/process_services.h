// The services a process hosts, by display name (Windows: the services the
// Service Control Manager runs in it; Linux: the systemd service unit whose
// group it belongs to).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace warderon {

class TProcessServices {
 public:
  virtual ~TProcessServices() = default;
  virtual std::vector<std::string> ListProcessServices(std::uint32_t pid) = 0;
};

std::unique_ptr<TProcessServices> MakeSystemProcessServices();

}  // namespace warderon
