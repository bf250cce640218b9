// A shell command run in the background in a process group of its own, for
// the real peers some tests start (a service manager, a file server, a
// client). Destroying it ends the whole group: TERM first, KILL if it has
// not gone within a few seconds. POSIX only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace warderon::testing {

class TBackgroundProcess {
 public:
  explicit TBackgroundProcess(const std::string& command) : pid_(fork()) {
    if (pid_ == 0) {
      setsid();
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~TBackgroundProcess() { Stop(); }
  TBackgroundProcess(const TBackgroundProcess&) = delete;
  TBackgroundProcess& operator=(const TBackgroundProcess&) = delete;

  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      if (i == 49) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(-pid_, SIGKILL);  // whatever of the group is left
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Calls condition every 100 ms until it holds or the seconds have passed.
template <class TCondition>
bool WaitUntil(TCondition condition, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

}  // namespace warderon::testing
