#include "io/waiting_fifo.h"

#include "core/error.h"
#include "core/format.h"

namespace OST {

WaitingFifo::WaitingFifo(BufferAllocator& allocator) : writer_(pages_, allocator), reader_(pages_) {}

WaitingFifo::~WaitingFifo() = default;

int64_t WaitingFifo::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) {
  const TimeoutMs resolved = GetTimeout(timeout);
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      // Checked first: a stopped fifo hands out nothing, not even queued data.
      if (stopped_) OST_THROW(Error(E_INTR, "Read has been interrupted"));
      if (length <= 0) return 0;
      if (queued_ > 0) {
        const int64_t n = reader_.ReadTimed(buffer, length, resolved);
        queued_ -= n;
        return n;
      }
      changed_.wait(lock);
    }
  } catch (Error& e) {
    e.AddIn(__FILE_NAME__, __LINE__, __func__).Add("timeout", ToString(resolved.value));
    throw;
  }
}

void WaitingFifo::Writev(const Iovec* iov, int count) try {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t before = writer_.Written();
  try {
    writer_.Writev(iov, count);
  } catch (...) {
    // What was appended before the failure is readable: count it and wake.
    queued_ += writer_.Written() - before;
    changed_.notify_all();
    throw;
  }
  queued_ += writer_.Written() - before;
  changed_.notify_all();
}
OST_TRAIL

void WaitingFifo::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

int64_t WaitingFifo::Queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_;
}

}  // namespace OST
