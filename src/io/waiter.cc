#include "io/waiter.h"

#include <chrono>

namespace OST {

void Waiter::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!signalled_) changed_.wait(lock);
}

bool Waiter::WaitFor(TimeoutMs timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout.value);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!signalled_) {
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return !signalled_;
  }
  return false;
}

void Waiter::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  changed_.notify_all();
}

void Waiter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

}  // namespace OST
