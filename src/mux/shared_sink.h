// Frames on the one outgoing byte stream of a connection.
//
// Every byte a channel dispatcher sends belongs to a frame: a type byte (0),
// the receiver's slot number (uint16) and the payload length (uint16), all
// little-endian, then the payload. A frame of length 0 is a control frame
// (ping, pong or the reset of a slot).
//
// SharedSink serialises whole frames from many writing threads onto the
// connection's sink: a SharedSink::Writer holds the sink's frame lock from
// its construction to its destruction, so the bytes of one frame are never
// interleaved with those of another. ChunkedSink cuts one slot's outgoing
// bytes into frames of at most 65535 payload bytes, each flushed at once.
//
// Thread contract: SharedSink and ChunkedSink are safe from any thread (the
// frame lock orders whole frames). A Writer is used by the thread that made
// it. The frame lock is the last lock taken in the multiplexer: it may be
// taken while a dispatcher's slot-map or slot-state lock is held, never the
// reverse. It is held during the network write, so a slow connection
// throttles every writer.
#pragma once

#include <cstdint>
#include <mutex>

#include "core/stream.h"
#include "core/typed_int.h"

namespace OST {

// Largest payload of one frame.
inline constexpr int64_t kMaxFramePayload = 65535;
// Bytes of a frame header: type, slot, length.
inline constexpr int64_t kFrameHeaderSize = 5;

// The connection's outgoing sink and the frame lock. One per dispatcher; not
// polymorphic.
class SharedSink : public NonCopyable {
 public:
  // `out` (the connection's write coalescer) must outlive the shared sink and
  // every Writer made on it.
  explicit SharedSink(ByteSink& out) : out_(out) {}

  class Writer;

 private:
  ByteSink& out_;     // written only under mutex_
  std::mutex mutex_;  // the frame lock
};

// One frame in the making. The constructor takes the frame lock and writes
// the header; Writev adds payload bytes; Flush pushes everything written so
// far through the connection; the destructor releases the lock.
class SharedSink::Writer : public NonCopyable, public virtual ByteSink {
 public:
  // Takes the frame lock (blocking until the frame in progress is done) and
  // writes the header for `slot` (the receiver's number) and `length`.
  // Errors of the connection pass through with the lock released.
  // Requires: exactly `length` payload bytes follow through Writev.
  Writer(SharedSink& shared, SlotId slot, uint16_t length);
  ~Writer() override = default;

  // Appends payload bytes. Throws E_INVAL "Frame payload exceeds announced
  // length" (details `length`, `written`) before writing anything when the
  // list would pass the length announced in the constructor (the frame stays
  // well-formed for as much as was written). Connection errors pass through.
  void Writev(const Iovec* iov, int count) override;
  // Flushes the connection's sink. Connection errors pass through.
  void Flush() override;

 private:
  std::unique_lock<std::mutex> lock_;  // first: released last
  ByteSink& out_;
  const int64_t length_;
  int64_t written_ = 0;
};

// The outgoing side of one slot: cuts what it is given into frames of at most
// 65535 payload bytes, addressed to `slot`, each flushed as soon as it is
// complete. Large pieces go down by reference, without a copy.
class ChunkedSink : public NonCopyable, public virtual ByteSink {
 public:
  // `shared` must outlive the chunked sink. `slot` is the number the frames
  // carry: the receiver's number of the slot.
  ChunkedSink(SharedSink& shared, SlotId slot) : shared_(shared), slot_(slot) {}

  // Walks the list in order, splitting elements where a frame is full; one
  // frame per 65535 bytes (the last one shorter). Sends nothing for a list
  // without bytes, so a data frame never has length 0 (which would read as
  // a reset). Connection errors pass through; frames sent before stay sent.
  void Writev(const Iovec* iov, int count) override;
  // Does nothing: every frame is flushed when written.
  void Flush() override {}

 private:
  SharedSink& shared_;
  const SlotId slot_;
};

}  // namespace OST
