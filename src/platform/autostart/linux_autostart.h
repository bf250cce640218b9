// Linux's autostart places below a root folder (the machine's own is "/"),
// so tests can build a tree of their own.
#pragma once

#include <memory>
#include <string>

#include "platform/autostart/autostart_source.h"

namespace warderon {

std::unique_ptr<TAutostartSource> MakeLinuxAutostartSource(const std::string& root);

}  // namespace warderon
