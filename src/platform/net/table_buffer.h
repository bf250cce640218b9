// The buffer for a system table that the system fills in place (the TCP
// table): it starts at a number of rows, doubles whenever the system says it
// is too small, and never shrinks, so a steady machine reallocates nothing
// from run to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace warderon {

class TTableBuffer {
 public:
  // Bytes = header_bytes + row_bytes x capacity.
  TTableBuffer(std::size_t header_bytes, std::size_t row_bytes, std::size_t first_capacity)
      : header_bytes_(header_bytes), row_bytes_(row_bytes), first_capacity_(first_capacity) {}

  void Allocate() {
    if (capacity_ == 0) Resize(first_capacity_);
  }
  std::size_t Capacity() const { return capacity_; }
  unsigned char* Data() { return bytes_.data(); }
  std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes_.size()); }

  // Calls fill(size) until it returns something other than too_small,
  // doubling the capacity after each too_small; a table that outgrows the
  // buffer max_growths times in a row ends the loop. Returns fill's last
  // result.
  template <class TFill>
  long Fill(TFill fill, long too_small, int max_growths = 16) {
    Allocate();
    for (int growth = 0;; ++growth) {
      std::uint32_t size = Size();
      const long result = fill(size);
      if (result != too_small || growth == max_growths) return result;
      Resize(capacity_ * 2);
    }
  }

 private:
  void Resize(std::size_t capacity) {
    capacity_ = capacity;
    bytes_.assign(header_bytes_ + row_bytes_ * capacity_, 0);
  }

  std::size_t header_bytes_;
  std::size_t row_bytes_;
  std::size_t first_capacity_;
  std::size_t capacity_ = 0;
  std::vector<unsigned char> bytes_;
};

}  // namespace warderon
