#include "io/caching_reader.h"

#include <algorithm>
#include <cstring>

#include "core/error.h"

namespace OST {

CachingReader::CachingReader(ByteSource& inner, int64_t bufferSize)
    : inner_(inner), size_(bufferSize), buffer_(std::make_unique<char[]>(bufferSize)) {}

int64_t CachingReader::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const TimeoutMs resolved = GetTimeout(timeout);
  if (buffered_ == 0) {
    if (length > size_) return inner_.ReadTimed(buffer, length, resolved);
    buffered_ = inner_.ReadTimed(buffer_.get(), size_, resolved);
    next_ = buffer_.get();
  }
  const int64_t n = std::min(length, buffered_);
  if (n > 0) std::memcpy(buffer, next_, n);
  next_ += n;
  buffered_ -= n;
  return n;
}
OST_TRAIL

}  // namespace OST
