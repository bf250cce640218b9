// One watchdog at a time on a state folder: a second run on the same store
// would deliver every outbox entry twice and write the outbox files and the
// catalogue under the first one's feet. The lock is a file held open
// exclusively for the life of the process; the system lets go of it
// however the process ends (kill -9 and crashes included).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace warderon {

class TInstanceLockError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TInstanceLock {
 public:
  virtual ~TInstanceLock() = default;
};

// Takes the lock on path without waiting, and writes this process's id
// into the file. Raises TInstanceLockError, naming the process that holds
// it where the file says, when another process has it or the file cannot
// be made.
std::unique_ptr<TInstanceLock> LockInstance(const std::string& path);

}  // namespace warderon
