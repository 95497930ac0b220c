// CachingReader: turns many small reads into one large inner read; reads
// larger than its buffer bypass it without a copy.
// Thread contract: one reader at a time; Stop from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "core/stream.h"

namespace OST {

class CachingReader : public NonCopyable, public virtual ByteSource {
 public:
  // `inner` must outlive the reader.
  CachingReader(ByteSource& inner, int64_t bufferSize);

  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override { inner_.Stop(); }

 private:
  ByteSource& inner_;
  const int64_t size_;
  std::unique_ptr<char[]> buffer_;
  int64_t buffered_ = 0;
  const char* next_ = nullptr;  // first unread buffered byte
};

}  // namespace OST
