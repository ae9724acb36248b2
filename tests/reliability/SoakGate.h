// Where the soak's clients stop between sessions while the control thread
// takes the CAPI device away and brings it back: a client holds no handle
// of the device while it waits here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace reliability {

class SoakGate {
 public:
  SoakGate() = default;
  SoakGate(const SoakGate&) = delete;
  SoakGate& operator=(const SoakGate&) = delete;

  // A client between two sessions: waits here while the gate is closed.
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!closed_)
      return;
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !closed_; });
    --waiting_;
  }

  // Closes the gate and waits until `clients` clients wait at it (false if
  // they have not come within `limit`).
  bool Close(size_t clients, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    return changed_.wait_for(lock, limit, [this, clients] { return waiting_ >= clients; });
  }

  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  size_t waiting_ = 0;
};

}  // namespace reliability
