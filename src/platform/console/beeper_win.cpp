#include "platform/console/beeper.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

class TMessageBeeper final : public TBeeper {
 public:
  void Beep() override { MessageBeep(0); }
};

}  // namespace

std::unique_ptr<TBeeper> MakeSystemBeeper() { return std::make_unique<TMessageBeeper>(); }

}  // namespace warderon
