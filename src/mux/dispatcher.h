// Dispatcher: many independent logical streams (slots) over one connection.
//
// A dispatcher takes over an established connection (the cipher stream) and
// runs as a job whose thread is the only reader of it: JobMain reads frames
// and delivers each payload into the queue of the slot it is addressed to,
// answers pings and runs the close protocol. Any thread may create, open,
// write, read and delete slot streams.
//
// Slot numbers. A slot a side creates itself is a server slot and has an
// even number (0, 2, 4, ... below 65520); a slot a side opens to talk to a
// server slot of the peer is a client slot and has the odd number one above
// it. Server slot n on one side and client slot n + 1 on the other are the
// two ends of one logical stream. Every frame carries the receiver's number:
// writing on slot n sends frames addressed to OppositeSlot(n). The peer
// learns the number of a created slot only through the protocol that runs
// on top; the dispatcher never announces slots.
//
// Close protocol. A server slot number is reused only after the peer has
// confirmed that its client end is gone, so late frames for an old stream
// never reach a new one. Deleting a server slot's stream sends a reset (RST)
// for the peer's client slot and keeps the number pending until the peer's
// RST comes back. A client slot closed locally first stays silent and
// answers the peer's later RST at once; a client slot the peer resets first
// is stopped (its reads fail with "Read has been interrupted") and the
// confirmation goes out when the local stream is deleted.
//
// Keep-alive. After a quiet spell (16000 ms with `super`, 16400 ms without)
// the reading loop sends a ping, then one every 2000 (2400) ms; any frame
// received resets the count; after three unanswered pings the connection is
// declared dead and JobMain returns. So a silent peer is given up 22000 ms
// (23600 ms) after its last frame. The two ends of a connection are given
// different `super` values so that their pings do not coincide.
//
// Untrusted input. Everything read from the connection comes from the peer:
// data for a client slot that is not open, an RST for a server slot that is
// not pending, a slot that would hold more than 256 MiB of unread bytes, a
// failed read or a frame cut short end the reading loop (logged as
// "Error: {}" in category 123); the owner then tears the connection down.
//
// Handles. CreateStream and OpenStream return a Dispatcher::Stream2, a
// revocable handle: once its slot stream or the dispatcher is gone, every
// call fails with E_BADF "Object doesn't exist", and destroying it is safe.
//
// Log lines use the detailed form: slot creation and closing in category 113
// (kLogMuxSlots), traffic and the close protocol in 114 (kLogMuxTraffic),
// errors in 123.
//
// Thread contract: CreateStream, OpenStream, DeleteStream, Stop and GetLink
// are safe from any thread. JobMain runs on one thread. Locks, always taken
// in this order: the slot-map lock (mapMutex_), the slot-state lock
// (stateMutex_), the shared sink's frame lock last.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "core/link.h"
#include "core/stream.h"
#include "core/typed_int.h"
#include "io/buffers.h"
#include "io/caching_reader.h"
#include "io/caching_writer.h"
#include "io/job.h"
#include "io/waiting_fifo.h"
#include "mux/page_pool.h"
#include "mux/shared_sink.h"

namespace OST {

inline constexpr int kLogMuxSlots = 113;    // slot creation, opening and closing
inline constexpr int kLogMuxTraffic = 114;  // traffic, pings, the close protocol

// Control frames (length 0) addressed to these numbers are a ping and a pong;
// server slots are allocated only below kPingSlot.
inline constexpr SlotId kPingSlot{0xFFF0};
inline constexpr SlotId kPongSlot{0xFFF1};

// Page size of a slot's receive queue, and how many idle pages a dispatcher
// keeps for its slots to reuse (2 MiB).
inline constexpr int64_t kSlotPageSize = 65536;
inline constexpr int kIdleSlotPages = 32;
// Read buffer in front of the connection.
inline constexpr int64_t kConnectionReadBuffer = 4096;

// The time-outs of the reading loop and the bound on one slot's queue.
struct DispatcherLimits {
  TimeoutMs idleWait;      // silence before the first ping
  TimeoutMs pingInterval;  // between pings
  TimeoutMs frameTimeout;  // each read of a frame after its type byte
  int64_t slotQueueLimit;  // most unread bytes one slot may hold
};

// The real values: idle wait 16000 ms and ping interval 2000 ms with
// `super`, 16400 ms and 2400 ms without; 16000 ms for the rest of a frame;
// 256 MiB per slot.
DispatcherLimits DefaultDispatcherLimits(bool super);

class Dispatcher : public NonCopyable, public virtual Job {
 public:
  class SlotStream;
  class Stream2;

  // Takes over `connection` (the established cipher stream). `name` prefixes
  // the log lines of the reading loop; `super` chooses the ping timing.
  // TEST_limits replaces DefaultDispatcherLimits(super), so that tests can
  // run the dead-peer sequence and the queue bound quickly; production code
  // leaves it out. Requires: connection is not null.
  Dispatcher(std::unique_ptr<Stream> connection, const std::string& name, bool super,
             std::optional<DispatcherLimits> TEST_limits = std::nullopt);
  // Stops the connection and every slot stream, cuts the dispatcher's link
  // (waiting for handle calls in flight, such as a DeleteStream), then
  // destroys the slot streams and the connection. Errors are logged
  // ("Error: {}", category 123), never thrown. Requires: JobMain is not
  // running (it has returned or never started; a job runner deletes the
  // dispatcher on the job's own thread after JobMain).
  ~Dispatcher() override;

  // Allocates a server slot (its number is returned in `slot`) and its
  // stream: the smallest number that completed the close protocol, else the
  // next unused one. Throws E_NOENT "No more slots available" (and keeps
  // throwing while no number is free), E_BUSY "Dispatcher is stopped".
  Stream2 CreateStream(SlotId& slot);
  // Opens client slot `slot` (the opposite of a server slot number received
  // from the peer) and its stream. Throws E_INVAL "Invalid slot number for
  // client endpoint" (detail `slot`) for an even number or one from 65520 up,
  // E_BUSY "Slot is in use" (detail `slot`) while it is open, E_BUSY
  // "Dispatcher is stopped".
  Stream2 OpenStream(SlotId slot);
  // Removes the slot's stream and starts the slot's close protocol; does
  // nothing when the slot has no stream. Called only by the destructor of
  // the slot's Stream2. Connection errors (sending an RST) pass through; the
  // stream is removed in any case.
  void DeleteStream(SlotId slot);

  // The reading loop (see the file comment). Returns when the connection is
  // dead, after Stop, or after an Error, which is logged and not thrown.
  void JobMain() override;
  // Logs the call, marks the dispatcher stopped (it refuses new streams) and
  // stops the connection, so that the reading loop ends. Permanent.
  void Stop() override;

  // The link through which the dispatcher is reached from other threads;
  // handles and the layers above hold it, never the dispatcher itself.
  std::shared_ptr<Link<Dispatcher>> GetLink() const { return link_; }

  // True for even numbers (slots a side creates).
  static bool IsServerSlot(SlotId slot) { return slot.value % 2 == 0; }
  // n + 1 for even n, n - 1 for odd n.
  static SlotId OppositeSlot(SlotId slot) {
    return SlotId(static_cast<uint16_t>(IsServerSlot(slot) ? slot.value + 1 : slot.value - 1));
  }

 private:
  // Takes a server slot number under the state lock.
  void CreateSlot(SlotId& slot);
  // Marks client slot `slot` open under the state lock.
  void OpenSlot(SlotId slot);
  // Puts a new slot stream into the map; gives the slot's number back when
  // that fails. Requires: mapMutex_ is held.
  Stream2 NewStream(SlotId slot);
  // The local half of the close protocol. Requires: mapMutex_ is held.
  void CloseSlot(SlotId slot);
  // An RST for `slot` arrived (the reading thread). Throws E_INVAL
  // "Unexpected number of slots on release" for a server slot that is not
  // pending.
  void ReleaseSlot(SlotId slot);
  // Delivers `length` payload bytes for `slot` from the connection (the
  // reading thread); skips them for an even slot without stream. Throws
  // E_INVAL "Unexpected packet to passive slot" (detail `slot`) for an odd
  // slot without stream, E_NOBUFS "Too much unread data for slot" (details
  // `slot`, `queued`, `length`, `limit`) when the slot's queue would pass
  // the limit, and the connection's errors.
  void DeliverFrame(SlotId slot, uint16_t length);
  // Sends a control frame (length 0) addressed to `target`, flushed.
  void SendControl(SlotId target);

  const std::shared_ptr<Link<Dispatcher>> link_;  // constant; revoked by the destructor
  const std::unique_ptr<Stream> connection_;      // constant; Stop from any thread
  CachingReader reader_;                          // the reading thread only
  CachingWriter writer_;                          // only under the frame lock (through sink_)
  SharedSink sink_;
  PagePool pages_;  // the slots' receive queues; outlives every slot stream

  // The map lock: taken before stateMutex_ and the frame lock.
  std::mutex mapMutex_;
  std::map<uint16_t, std::unique_ptr<SlotStream>> slots_;  // protected by mapMutex_

  const std::string name_;
  const DispatcherLimits limits_;  // chosen by `super` unless a test gave its own
  // Set by Stop and by the destructor (under mapMutex_); read by the reading
  // loop, and under mapMutex_ by CreateStream and OpenStream.
  std::atomic<bool> stopped_{false};

  // The state lock: taken after mapMutex_, before the frame lock.
  std::mutex stateMutex_;
  // protected by stateMutex_
  uint16_t nextSlot_ = 0;              // next never-used server slot number
  std::set<uint16_t> freeSlots_;       // server slots that completed the close protocol
  std::set<uint16_t> pendingRelease_;  // server slots whose RST awaits confirmation
  std::set<uint16_t> remoteReleased_;  // client slots the peer reset while our stream lived
  std::set<uint16_t> openSlots_;       // client slots currently open
};

// One slot: the bytes received for it and not yet read (in 65536-byte pages
// from the dispatcher's pool), and its outgoing path (a 1024-byte coalescer
// in front of the frame cutter). Owned by the dispatcher's slot map and
// reached from handles only through its Link.
//
// Thread contract: one user thread reads and writes (through its Stream2);
// the dispatcher's reading thread delivers into the queue and may Stop it;
// the queue's own mutex separates them.
class Dispatcher::SlotStream : public NonCopyable, public virtual Stream {
 public:
  // `dispatcher` must outlive the slot stream (it owns it).
  SlotStream(Dispatcher& dispatcher, SlotId slot);
  // Cuts the slot stream's link (waiting for handle calls in flight), then
  // gives every queued page back. Never throws.
  ~SlotStream() override;

  // Blocks until bytes are queued and returns 1..length of them (at most
  // the rest of one 65536-byte page); the time-out does not limit the wait.
  // Throws E_INTR "Read has been interrupted" (details `in`, `timeout`) once
  // the slot is stopped, even with bytes queued.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // Coalesces up to 1024 bytes; more goes out at once as frames of at most
  // 65535 bytes. Connection errors pass through.
  void Writev(const Iovec* iov, int count) override;
  // Sends the coalesced bytes as one frame. Connection errors pass through.
  void Flush() override;
  // Makes blocked and later reads fail; writes still go out. Never throws.
  void Stop() override;

  // Copies exactly `count` bytes from `from` into the queue. Throws E_PIPE
  // "End of stream reached" when `from` ends first. Called only by the
  // dispatcher's reading thread.
  void Dispatch(ByteSource& from, int64_t count);

  SlotId Slot() const { return slot_; }
  // Bytes received and not yet read.
  int64_t Queued() const { return fifo_.Queued(); }
  std::shared_ptr<Link<SlotStream>> GetLink() const { return link_; }

 private:
  const std::shared_ptr<Link<SlotStream>> link_;  // first: cut before anything goes
  Dispatcher& dispatcher_;
  WaitingFifo fifo_;
  ChunkedSink out_;       // frames addressed to OppositeSlot(slot_)
  CachingWriter writer_;  // the user's thread only
  const SlotId slot_;
};

// The handle to one slot stream, held by the one user of the slot. Movable
// (the source is left empty, and every call on it fails with "Object doesn't
// exist"), not copyable.
//
// Thread contract: one owner; Stop is safe from any thread. The handle may
// outlive its slot stream and its dispatcher: every call then fails with
// E_BADF "Object doesn't exist".
class Dispatcher::Stream2 : public NonCopyable, public virtual Stream {
 public:
  // Made by CreateStream and OpenStream only.
  Stream2(std::shared_ptr<Link<Dispatcher>> dispatcher, std::shared_ptr<Link<SlotStream>> slot);
  Stream2(Stream2&& other) noexcept;
  Stream2& operator=(Stream2&&) = delete;
  // Deletes the slot stream through the dispatcher, which starts the slot's
  // close protocol. When the slot stream or the dispatcher is already gone,
  // the "Object doesn't exist" error is logged ("Error: {}", category 123)
  // and dropped; so is any other error.
  ~Stream2() override;

  // As SlotStream::ReadTimed, after resolving the handle's own time-out.
  // Throws E_BADF "Object doesn't exist" once the slot stream is gone.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // As SlotStream::Writev; E_BADF "Object doesn't exist" once it is gone.
  void Writev(const Iovec* iov, int count) override;
  // As SlotStream::Flush; E_BADF "Object doesn't exist" once it is gone.
  void Flush() override;
  // Stops the slot stream, making a blocked read fail; safe from any
  // thread. E_BADF "Object doesn't exist" once the slot stream is gone.
  void Stop() override;

  // False for a moved-from handle.
  bool Valid() const { return slot_ != nullptr; }

 private:
  std::shared_ptr<Link<Dispatcher>> dispatcher_;
  std::shared_ptr<Link<SlotStream>> slot_;
};

}  // namespace OST
