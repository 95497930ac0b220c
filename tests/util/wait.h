// Waiting in tests for a state another thread brings about, bounded in time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace OST::testutil {

// Polls `done` until it returns true or `timeout` has passed; returns its
// last answer. For states with no event to wait on (a mount appearing, a
// job rebuilding); threads the test controls are ordered with latches.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace OST::testutil
