#include "io/caching_writer.h"

#include <cstring>
#include <vector>

#include "core/error.h"

namespace OST {

void CachingWriter::Writev(const Iovec* iov, int count) try {
  int i = 0;
  for (; i < count; ++i) {
    const int64_t length = iov[i].length > 0 ? iov[i].length : 0;
    if (buffered_ + length > kBufferSize) break;
    if (length > 0) std::memcpy(buffer_ + buffered_, iov[i].data, length);
    buffered_ += length;
  }
  if (i == count) return;

  std::vector<Iovec> list;
  list.reserve(count - i + 1);
  if (buffered_ > 0) list.push_back({buffer_, buffered_});
  list.insert(list.end(), iov + i, iov + count);
  buffered_ = 0;  // emptied before the write: on failure the stream is broken anyway
  inner_.Writev(list.data(), static_cast<int>(list.size()));
}
OST_TRAIL

void CachingWriter::Flush() try {
  if (buffered_ > 0) {
    const int64_t n = buffered_;
    buffered_ = 0;
    inner_.Write(buffer_, n);
  }
  inner_.Flush();
}
OST_TRAIL

}  // namespace OST
