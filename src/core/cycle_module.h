// The contract every monitor module fulfils towards the monitoring cycle.
#pragma once

namespace warderon {

class TCycleModule {
 public:
  virtual ~TCycleModule() = default;
  // Once, at start-up, on the worker thread. May load baselines and raise
  // alerts. Reports a failure by throwing an exception carrying a message.
  virtual void Initialize() = 0;
  // Once per cycle, on the worker thread. Reads its own switch and returns at
  // once when disabled. Reports a failure by throwing; the cycle contains it.
  virtual void Run() = 0;
};

}  // namespace warderon
