#include "mux/shared_sink.h"

#include <algorithm>
#include <vector>

#include "core/error.h"
#include "core/format.h"

namespace OST {

SharedSink::Writer::Writer(SharedSink& shared, SlotId slot, uint16_t length) try
    : lock_(shared.mutex_), out_(shared.out_), length_(length) {
  const unsigned char header[kFrameHeaderSize] = {
      0,
      static_cast<unsigned char>(slot.value & 0xFF),
      static_cast<unsigned char>(slot.value >> 8),
      static_cast<unsigned char>(length & 0xFF),
      static_cast<unsigned char>(length >> 8),
  };
  out_.Write(header, kFrameHeaderSize);
}
OST_TRAIL

void SharedSink::Writer::Writev(const Iovec* iov, int count) try {
  int64_t total = 0;
  for (int i = 0; i < count; ++i) total += std::max<int64_t>(iov[i].length, 0);
  // Checked before anything goes out: a longer payload would be read by the
  // peer as the start of the next frame.
  if (written_ + total > length_) {
    OST_THROW(Error(E_INVAL, "Frame payload exceeds announced length")
                  .Add("length", ToString(length_))
                  .Add("written", ToString(written_ + total)));
  }
  out_.Writev(iov, count);
  written_ += total;
}
OST_TRAIL

void SharedSink::Writer::Flush() try { out_.Flush(); }
OST_TRAIL

void ChunkedSink::Writev(const Iovec* iov, int count) try {
  std::vector<Iovec> pieces;
  int index = 0;
  int64_t offset = 0;  // bytes of iov[index] already framed
  for (;;) {
    pieces.clear();
    int64_t chunk = 0;
    while (index < count && chunk < kMaxFramePayload) {
      const int64_t length = std::max<int64_t>(iov[index].length, 0);
      const int64_t take = std::min(length - offset, kMaxFramePayload - chunk);
      if (take > 0) {
        pieces.push_back({static_cast<const char*>(iov[index].data) + offset, take});
        chunk += take;
      }
      offset += take;
      if (offset == length) {
        ++index;
        offset = 0;
      }
    }
    if (chunk == 0) return;
    SharedSink::Writer frame(shared_, slot_, static_cast<uint16_t>(chunk));
    frame.Writev(pieces.data(), static_cast<int>(pieces.size()));
    frame.Flush();
  }
}
OST_TRAIL

}  // namespace OST
