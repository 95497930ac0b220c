// Readers and writers over caller-owned fixed memory.
// Thread contract: one thread at a time.
#pragma once

#include <cstdint>

#include "core/stream.h"

namespace OST {

class FixedBufferReader : public NonCopyable, public virtual ByteSource {
 public:
  // `data` must outlive the reader. A position below 0 or above `size`
  // throws E_SEEK "Seek outside buffer boundaries".
  FixedBufferReader(const void* data, int64_t size, int64_t position = 0);

  // Copies what is left, up to `length`; 0 at the end. The time-out is ignored.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override {}

 private:
  const char* data_;
  int64_t size_;
  int64_t position_;
};

class FixedBufferWriter : public NonCopyable, public virtual SizedSink {
 public:
  // `data` must outlive the writer.
  FixedBufferWriter(void* data, int64_t capacity) : data_(static_cast<char*>(data)), capacity_(capacity) {}
  FixedBufferWriter(FixedBufferWriter&& other) noexcept;

  // Copies whole elements in order; an element that does not fit throws
  // E_NOSPC "Destination buffer is full" and is not copied at all.
  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}
  int64_t Written() const override { return written_; }

 private:
  char* data_;
  int64_t capacity_;
  int64_t written_ = 0;
};

}  // namespace OST
