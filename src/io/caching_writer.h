// CachingWriter: coalesces small writes up to 1024 bytes; a piece that does
// not fit goes to the inner sink by reference, together with the coalesced
// prefix, in one gather write. Byte order is always kept.
// Thread contract: one writer at a time.
#pragma once

#include <cstdint>

#include "core/stream.h"

namespace OST {

class CachingWriter : public NonCopyable, public virtual ByteSink {
 public:
  static constexpr int64_t kBufferSize = 1024;

  // `inner` must outlive the writer.
  explicit CachingWriter(ByteSink& inner) : inner_(inner) {}

  void Writev(const Iovec* iov, int count) override;
  // Writes the buffered bytes (if any), then flushes the inner sink.
  void Flush() override;

 private:
  ByteSink& inner_;
  char buffer_[kBufferSize];
  int64_t buffered_ = 0;
};

}  // namespace OST
