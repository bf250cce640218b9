// Guards an enumeration that the platform delivers in batches against a
// source that never finishes (Wine's service list hands back the same batch
// for ever, and a real system can misbehave too).
#pragma once

#include <cstddef>
#include <string>

namespace warderon {

class TBatchGuard {
 public:
  explicit TBatchGuard(std::size_t max_batches = 10000) : max_batches_(max_batches) {}

  // Called with each batch's size and its first item; false when the batch
  // makes no progress (empty, the same as the one before, or one too many),
  // and the enumeration must end with what was seen.
  bool Progress(std::size_t batch_size, const std::string& first_item) {
    if (batch_size == 0 || ++batches_ > max_batches_) return false;
    if (batches_ > 1 && first_item == previous_first_ && batch_size == previous_size_) return false;
    previous_first_ = first_item;
    previous_size_ = batch_size;
    return true;
  }

 private:
  std::size_t max_batches_;
  std::size_t batches_ = 0;
  std::string previous_first_;
  std::size_t previous_size_ = 0;
};

}  // namespace warderon
