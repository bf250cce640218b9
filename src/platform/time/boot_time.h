// Where the machine is in its current boot: a clock that no one can set
// back, so that the age of a record survives a wall clock stepped back or
// the autumn clock change.
#pragma once

#include <optional>
#include <string>

namespace warderon {

struct TBootTime {
  std::string boot_id;   // the same for every reading within one boot
  double seconds = 0.0;  // since the boot, counting time asleep
};

// Nothing when the platform does not tell which boot it is in.
std::optional<TBootTime> ReadBootTime();

}  // namespace warderon
