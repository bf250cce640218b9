// When a failure that a monitor meets on every run is said: the first time
// each reason is met in the process, then once a day while it is met again.
// So a directory that refuses the bind is reported, but not every cycle.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace warderon {

class TRepeatedFailureGate {
 public:
  using TNow = std::function<std::chrono::steady_clock::time_point()>;
  // Reasons remembered at most; beyond, the oldest said is forgotten (a peer
  // that words every refusal anew cannot grow the map).
  static constexpr std::size_t kMaxReasons = 64;

  explicit TRepeatedFailureGate(TNow now, std::chrono::hours every = std::chrono::hours(24))
      : now_(std::move(now)), every_(every) {}

  // True when the reason is to be reported now; it then counts as said.
  bool ShouldReport(const std::string& reason) {
    const auto now = now_();
    const auto found = said_.find(reason);
    if (found != said_.end() && now - found->second < every_) return false;
    if (found == said_.end() && said_.size() >= kMaxReasons) {
      auto oldest = said_.begin();
      for (auto it = said_.begin(); it != said_.end(); ++it) {
        if (it->second < oldest->second) oldest = it;
      }
      said_.erase(oldest);
    }
    said_[reason] = now;
    return true;
  }

 private:
  TNow now_;
  std::chrono::hours every_;
  std::map<std::string, std::chrono::steady_clock::time_point> said_;
};

}  // namespace warderon
