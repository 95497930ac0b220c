// ExpectedSizeReader: a source bounded to the bytes still expected of an
// inner source (for example one frame's payload).
// Thread contract: one reader at a time; Stop from any thread.
#pragma once

#include <cstdint>

#include "core/stream.h"

namespace OST {

class ExpectedSizeReader : public NonCopyable, public virtual ByteSource {
 public:
  // `inner` must outlive the reader.
  ExpectedSizeReader(ByteSource& inner, int64_t expected) : inner_(inner), expected_(expected) {}

  // One inner read of at most the bytes still expected; 0 without touching
  // the inner source once nothing is expected.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override { inner_.Stop(); }

  // Reads and discards the bytes still expected (E_PIPE "End of stream
  // reached" when the inner source ends first).
  void ReadRemainingBytes();
  int64_t Remaining() const { return expected_; }

 private:
  ByteSource& inner_;
  int64_t expected_;
};

}  // namespace OST
