// Bounds a blocking operation on a connection from outside: when an armed
// operation outlasts its bound, a watcher thread shuts the connection down,
// and the blocked read inside a library (a TLS handshake the server never
// answers) ends. It keeps its own duplicate of the socket, so it never
// touches a descriptor that the library closed and the process reused.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace warderon {

class TOperationBound {
 public:
  TOperationBound() : watcher_([this] { Watch(); }) {}
  ~TOperationBound() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    signal_.notify_one();
    watcher_.join();
    if (socket_ >= 0) close(socket_);
  }
  TOperationBound(const TOperationBound&) = delete;
  TOperationBound& operator=(const TOperationBound&) = delete;

  void SetSocket(int socket) {
    const std::lock_guard lock(mutex_);
    if (socket_ >= 0) close(socket_);
    socket_ = dup(socket);
  }
  void Arm(std::chrono::seconds bound) {
    {
      const std::lock_guard lock(mutex_);
      deadline_ = std::chrono::steady_clock::now() + bound;
      armed_ = true;
    }
    signal_.notify_one();
  }
  void Disarm() {
    const std::lock_guard lock(mutex_);
    armed_ = false;
  }
  bool Fired() {
    const std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  void Watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!armed_) {
        signal_.wait(lock);
      } else if (std::chrono::steady_clock::now() < deadline_) {
        signal_.wait_until(lock, deadline_);
      } else {
        if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
        fired_ = true;
        armed_ = false;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable signal_;
  int socket_ = -1;
  bool armed_ = false;
  bool fired_ = false;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::thread watcher_;
};

// One armed operation.
class TArmed {
 public:
  TArmed(TOperationBound& bound, int seconds) : bound_(bound) {
    bound_.Arm(std::chrono::seconds(seconds));
  }
  ~TArmed() { bound_.Disarm(); }
  TArmed(const TArmed&) = delete;
  TArmed& operator=(const TArmed&) = delete;

 private:
  TOperationBound& bound_;
};

}  // namespace warderon
