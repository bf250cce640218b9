// The machine's default beep.
#pragma once

#include <memory>

namespace warderon {

class TBeeper {
 public:
  virtual ~TBeeper() = default;
  virtual void Beep() = 0;
};

std::unique_ptr<TBeeper> MakeSystemBeeper();

}  // namespace warderon
