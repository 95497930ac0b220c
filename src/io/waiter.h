// Waiter: a manual-reset event. Jobs sleep on it between retries and their
// Stop signals it to wake them early. Once signalled it stays signalled until
// Reset. Time limits run on the monotonic clock, so changes of the wall clock
// neither shorten nor stretch a wait.
//
// Thread contract: safe from any thread; shared between the waiting job and
// whoever stops it.
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/interface.h"
#include "core/typed_int.h"

namespace OST {

class Waiter : public NonCopyable {
 public:
  Waiter() = default;

  // Blocks until signalled.
  void Wait();
  // Blocks until signalled or until `timeout` milliseconds have passed.
  // Returns true when the time ran out without a signal, false when
  // signalled. WaitFor(TimeoutMs(0)) only tests the event.
  bool WaitFor(TimeoutMs timeout);
  // Sets the event and wakes every waiter.
  void Signal();
  // Clears the event.
  void Reset();

 private:
  // protected by mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace OST
