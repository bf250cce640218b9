// "warderon -status": what an administrator asks first, read from the store
// as it is (nothing is written): the data version, the last run and how
// long ago it was, the monitors that are switched on, and the journal of
// the last cycle.
#pragma once

#include <iosfwd>

#include "platform/store/policy_backend.h"
#include "platform/time/clock.h"

namespace warderon {

// Returns the process exit code: 0, or 1 when the store cannot be read.
// With json, one JSON object (for configuration-management tools).
int RunStatusCommand(TPolicyBackend& backend, TClock& clock, std::ostream& out, std::ostream& err,
                     bool json = false);

}  // namespace warderon
