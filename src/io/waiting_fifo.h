// WaitingFifo: the blocking byte queue between one writing thread and one
// reading thread (the bytes a connection delivered for a channel slot and
// that the slot's reader has not taken yet).
//
// Reads block until data arrives or the fifo is stopped; there is no time
// limit. Stop is permanent: from then on every read fails, even while data
// is still queued, and writes are accepted and kept until destruction.
//
// Thread contract: safe from any thread; one mutex guards the queue, the
// counters and the stopped flag.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "core/stream.h"
#include "io/buffers.h"
#include "io/paged_buffer.h"

namespace OST {

class WaitingFifo : public NonCopyable, public virtual Stream {
 public:
  // `allocator` must outlive the fifo.
  explicit WaitingFifo(BufferAllocator& allocator);
  // Gives every queued page back.
  ~WaitingFifo() override;

  // Blocks until bytes are queued, then returns 1..length of them, at most
  // the rest of the front page. The time-out is resolved (and reported in
  // errors as detail `timeout`) but does not limit the wait. Throws E_INTR
  // "Read has been interrupted" once stopped, whether or not data is queued.
  // A length of 0 or less returns 0 at once.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // Appends all elements and wakes the readers. An allocation failure passes
  // through; the bytes appended before it stay queued and readable.
  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}
  // Sets the stopped flag and wakes the readers. Never throws.
  void Stop() override;

  // Bytes written and not yet read.
  int64_t Queued() const;

 private:
  // protected by mutex_
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a write or Stop happened
  std::deque<UsedBuffer> pages_;
  PagedBufferWriter writer_;
  PagedBufferConsumingReader reader_;
  int64_t queued_ = 0;
  bool stopped_ = false;
};

}  // namespace OST
