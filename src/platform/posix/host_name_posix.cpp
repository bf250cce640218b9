#include <unistd.h>

#include <array>

#include "platform/host_name.h"

namespace warderon {

std::string GetLocalHostName() {
  std::array<char, 256> buffer{};
  if (gethostname(buffer.data(), buffer.size() - 1) != 0) return {};
  return std::string(buffer.data());  // up to the first NUL
}

}  // namespace warderon
