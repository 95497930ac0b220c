#include "io/fixed_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/error.h"

namespace OST {

FixedBufferReader::FixedBufferReader(const void* data, int64_t size, int64_t position)
    : data_(static_cast<const char*>(data)), size_(size), position_(position) {
  if (position < 0 || position > size) OST_THROW(Error(E_SEEK, "Seek outside buffer boundaries"));
}

int64_t FixedBufferReader::ReadTimed(void* buffer, int64_t length, TimeoutMs) {
  const int64_t n = std::max<int64_t>(0, std::min(length, size_ - position_));
  if (n > 0) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

FixedBufferWriter::FixedBufferWriter(FixedBufferWriter&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      written_(std::exchange(other.written_, 0)) {}

void FixedBufferWriter::Writev(const Iovec* iov, int count) {
  for (int i = 0; i < count; ++i) {
    if (iov[i].length <= 0) continue;
    if (written_ + iov[i].length > capacity_) OST_THROW(Error(E_NOSPC, "Destination buffer is full"));
    std::memcpy(data_ + written_, iov[i].data, iov[i].length);
    written_ += iov[i].length;
  }
}

}  // namespace OST
