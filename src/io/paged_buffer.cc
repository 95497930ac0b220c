#include "io/paged_buffer.h"

#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "core/format.h"

namespace OST {

void PagedBufferWriter::Writev(const Iovec* iov, int count) try {
  for (int i = 0; i < count; ++i) {
    if (iov[i].length > 0) Append(static_cast<const char*>(iov[i].data), iov[i].length);
  }
}
OST_TRAIL

void PagedBufferWriter::Append(const char* data, int64_t length) try {
  while (length > 0) {
    if (pages_.empty() || pages_.back().Room() <= 0) {
      Buffer page = allocator_.Alloc();
      if (page.Size() <= 0 || page.Data() == nullptr)
        OST_THROW(Error(E_INVAL, "Invalid buffer size").Add("length", ToString(page.Size())));
      pages_.emplace_back(std::move(page));
    }
    UsedBuffer& last = pages_.back();
    const int64_t n = std::min(last.Room(), length);
    std::memcpy(last.buffer.Data() + last.used, data, n);
    last.used += n;
    written_ += n;
    data += n;
    length -= n;
  }
}
OST_TRAIL

int64_t PagedBufferReader::ReadTimed(void* buffer, int64_t length, TimeoutMs) {
  char* out = static_cast<char*>(buffer);
  int64_t copied = 0;
  while (copied < length && page_ < pages_.size()) {
    const UsedBuffer& page = pages_[page_];
    const int64_t available = page.used - offset_;
    if (available <= 0) {
      // Stay on the last page: the writer may still add bytes to it.
      if (page_ + 1 >= pages_.size()) break;
      ++page_;
      offset_ = 0;
      continue;
    }
    const int64_t n = std::min(available, length - copied);
    std::memcpy(out + copied, page.buffer.Data() + offset_, n);
    offset_ += n;
    copied += n;
  }
  return copied;
}

bool PagedBufferReader::Empty() const {
  for (size_t i = page_; i < pages_.size(); ++i) {
    if (pages_[i].used > (i == page_ ? offset_ : 0)) return false;
  }
  return true;
}

int64_t PagedBufferConsumingReader::ReadTimed(void* buffer, int64_t length, TimeoutMs) {
  if (length <= 0) return 0;
  for (;;) {
    if (pages_.empty()) {
      offset_ = -1;
      return 0;
    }
    if (offset_ < 0) offset_ = 0;
    UsedBuffer& front = pages_.front();
    const int64_t n = std::min(length, front.used - offset_);
    if (n > 0) std::memcpy(buffer, front.buffer.Data() + offset_, n);
    offset_ += std::max<int64_t>(n, 0);
    if (offset_ >= front.used) {
      pages_.pop_front();
      offset_ = -1;
    }
    // A page without bytes in use is dropped and the next one tried, so a
    // read returns 0 only for an empty queue.
    if (n > 0) return n;
  }
}

int64_t Fifo::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) {
  char* out = static_cast<char*>(buffer);
  int64_t copied = 0;
  while (copied < length) {
    const int64_t n = reader_.ReadTimed(out + copied, length - copied, timeout);
    if (n == 0) break;
    copied += n;
  }
  return copied;
}

}  // namespace OST
