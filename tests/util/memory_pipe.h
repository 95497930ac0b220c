// Connected in-memory streams for tests: what one end writes, the other end
// reads, in order, with timed reads that wait on a condition variable.
//
// Thread contract: one reader and one writer per end may run at once, on
// different threads; Stop and Close are safe from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "core/stream.h"

namespace OST::testutil {

// One direction: an unbounded byte queue.
class MemoryPipe {
 public:
  // Appends every element. Throws E_PIPE "Pipe is closed" after Close.
  void Put(const Iovec* iov, int count);
  // Waits up to `timeout` for bytes and takes up to `length` of them; 0 on
  // time-out or when closed and drained. Throws E_INTR "Read has been
  // interrupted" once stopped.
  int64_t Take(void* buffer, int64_t length, TimeoutMs timeout);
  // The writing end is gone: readers get what is left, then 0.
  void Close();
  // Readers fail from now on.
  void Stop();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<char> bytes_;  // protected by mutex_
  bool closed_ = false;     // protected by mutex_
  bool stopped_ = false;    // protected by mutex_
};

// One end: reads from `in`, writes to `out`; closes `out` when destroyed.
class MemoryStream : public NonCopyable, public virtual Stream {
 public:
  MemoryStream(std::shared_ptr<MemoryPipe> in, std::shared_ptr<MemoryPipe> out);
  ~MemoryStream() override;

  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}
  void Stop() override { in_->Stop(); }

 private:
  std::shared_ptr<MemoryPipe> in_;
  std::shared_ptr<MemoryPipe> out_;
};

// Two connected ends whose default read time-out is `timeout` (bounded, so a
// test that waits for bytes never hangs).
std::pair<std::unique_ptr<MemoryStream>, std::unique_ptr<MemoryStream>> MakeStreamPair(
    TimeoutMs timeout = TimeoutMs{20000});

}  // namespace OST::testutil
