// The owner of a buffer that the network management functions allocate.
#pragma once

#include "platform/win/win_support.h"

#include <lm.h>

namespace warderon::win {

// Frees a buffer of the network management functions.
class TNetBuffer {
 public:
  TNetBuffer() = default;
  ~TNetBuffer() {
    if (buffer_ != nullptr) NetApiBufferFree(buffer_);
  }
  TNetBuffer(const TNetBuffer&) = delete;
  TNetBuffer& operator=(const TNetBuffer&) = delete;
  LPBYTE* Receive() {
    if (buffer_ != nullptr) NetApiBufferFree(buffer_);
    buffer_ = nullptr;
    return &buffer_;
  }
  LPBYTE Get() const { return buffer_; }

 private:
  LPBYTE buffer_ = nullptr;
};

}  // namespace warderon::win
