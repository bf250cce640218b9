#include <unistd.h>

#include "platform/console/beeper.h"

namespace warderon {
namespace {

// Linux has no system beep for a daemon; ring the terminal when there is one.
class TTerminalBeeper final : public TBeeper {
 public:
  void Beep() override {
    if (isatty(STDERR_FILENO) == 1) {
      const char bell = '\a';
      [[maybe_unused]] const auto written = write(STDERR_FILENO, &bell, 1);
    }
  }
};

}  // namespace

std::unique_ptr<TBeeper> MakeSystemBeeper() { return std::make_unique<TTerminalBeeper>(); }

}  // namespace warderon
