#include "mux/dispatcher.h"

#include <utility>

#include "core/error.h"
#include "core/format.h"
#include "core/log.h"
#include "core/serialize.h"
#include "io/expected_reader.h"

namespace OST {

DispatcherLimits DefaultDispatcherLimits(bool super) {
  constexpr int64_t kSlotQueueLimit = int64_t{256} << 20;
  if (super) return {TimeoutMs(16000), TimeoutMs(2000), TimeoutMs(16000), kSlotQueueLimit};
  return {TimeoutMs(16400), TimeoutMs(2400), TimeoutMs(16000), kSlotQueueLimit};
}

Dispatcher::Dispatcher(std::unique_ptr<Stream> connection, const std::string& name, bool super,
                       std::optional<DispatcherLimits> TEST_limits) try
    : link_(std::make_shared<Link<Dispatcher>>(this)),
      connection_(std::move(connection)),
      reader_(*connection_, kConnectionReadBuffer),
      writer_(*connection_),
      sink_(writer_),
      pages_(kSlotPageSize, kIdleSlotPages),
      name_(name),
      limits_(TEST_limits ? *TEST_limits : DefaultDispatcherLimits(super)) {}
OST_TRAIL

Dispatcher::~Dispatcher() {
  try {
    connection_->Stop();
  } catch (Error& e) {
    e.AddIn(__FILE_NAME__, __LINE__, __func__);
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
  {
    std::lock_guard<std::mutex> map(mapMutex_);
    stopped_ = true;
    for (auto& entry : slots_) entry.second->Stop();
  }
  // Waits for handle calls in flight (a DeleteStream); none can start after.
  link_->Revoke();
  std::map<uint16_t, std::unique_ptr<SlotStream>> gone;
  {
    std::lock_guard<std::mutex> map(mapMutex_);
    gone.swap(slots_);
  }
  // Each slot stream cuts its own link first, waiting for handle calls in
  // flight; the reads among them were stopped above and return.
  gone.clear();
}

Dispatcher::Stream2 Dispatcher::CreateStream(SlotId& slot) try {
  std::lock_guard<std::mutex> map(mapMutex_);
  if (stopped_) OST_THROW(Error(E_BUSY, "Dispatcher is stopped"));
  SlotId taken;
  CreateSlot(taken);
  Stream2 stream = NewStream(taken);
  slot = taken;
  return stream;
}
OST_TRAIL

Dispatcher::Stream2 Dispatcher::OpenStream(SlotId slot) try {
  // The map lock is held from the opening to the stream's arrival in the
  // map, so an RST for the slot finds either no open slot or its stream.
  std::lock_guard<std::mutex> map(mapMutex_);
  if (stopped_) OST_THROW(Error(E_BUSY, "Dispatcher is stopped"));
  OpenSlot(slot);
  return NewStream(slot);
}
OST_TRAIL

void Dispatcher::CreateSlot(SlotId& slot) try {
  std::lock_guard<std::mutex> state(stateMutex_);
  if (!freeSlots_.empty()) {
    slot = SlotId(*freeSlots_.begin());
    freeSlots_.erase(freeSlots_.begin());
    OST_LOG(kLogMuxSlots, "Reused slot={}", slot);
    return;
  }
  // The counter stops at the ping number instead of wrapping to 0, where
  // numbers may still be in use.
  if (nextSlot_ >= kPingSlot.value) OST_THROW(Error(E_NOENT, "No more slots available"));
  slot = SlotId(nextSlot_);
  nextSlot_ = static_cast<uint16_t>(nextSlot_ + 2);
  OST_LOG(kLogMuxSlots, "Created new slot={}", slot);
}
OST_TRAIL

void Dispatcher::OpenSlot(SlotId slot) try {
  // Odd numbers from 65521 up are the pong number and the opposites of
  // numbers that are never allocated: no peer stream can be behind them.
  if (IsServerSlot(slot) || slot.value >= kPingSlot.value) {
    OST_THROW(Error(E_INVAL, "Invalid slot number for client endpoint").Add("slot", ToString(slot)));
  }
  std::lock_guard<std::mutex> state(stateMutex_);
  if (!openSlots_.insert(slot.value).second) OST_THROW(Error(E_BUSY, "Slot is in use").Add("slot", ToString(slot)));
  OST_LOG(kLogMuxSlots, "Opened slot={}", slot);
}
OST_TRAIL

Dispatcher::Stream2 Dispatcher::NewStream(SlotId slot) try {
  if (slots_.count(slot.value) != 0) OST_THROW(Error(E_BUSY, "Slot is in use").Add("slot", ToString(slot)));
  try {
    slots_.emplace(slot.value, std::make_unique<SlotStream>(*this, slot));
  } catch (...) {
    // Give the number back: the peer never heard of this stream.
    std::lock_guard<std::mutex> state(stateMutex_);
    if (IsServerSlot(slot))
      freeSlots_.insert(slot.value);
    else
      openSlots_.erase(slot.value);
    throw;
  }
  // Made only once the stream is in the map: a handle that dies deletes it.
  return Stream2(link_, slots_.at(slot.value)->GetLink());
}
OST_TRAIL

void Dispatcher::DeleteStream(SlotId slot) try {
  std::lock_guard<std::mutex> map(mapMutex_);
  auto found = slots_.find(slot.value);
  if (found == slots_.end()) return;
  std::unique_ptr<SlotStream> gone = std::move(found->second);
  slots_.erase(found);
  gone.reset();
  CloseSlot(slot);
}
OST_TRAIL

void Dispatcher::CloseSlot(SlotId slot) try {
  std::lock_guard<std::mutex> state(stateMutex_);
  if (IsServerSlot(slot)) {
    OST_LOG(kLogMuxTraffic, "Server slot={} remote cleanup request", slot);
    // Pending before the RST leaves, so the answer always finds it.
    pendingRelease_.insert(slot.value);
    SendControl(OppositeSlot(slot));
    return;
  }
  OST_LOG(kLogMuxSlots, "Client slot={} closed", slot);
  openSlots_.erase(slot.value);
  if (remoteReleased_.count(slot.value) != 0) {
    OST_LOG(kLogMuxTraffic, "Client slot={} reported cleanup to remote", slot);
    SendControl(OppositeSlot(slot));
    remoteReleased_.erase(slot.value);
  }
}
OST_TRAIL

void Dispatcher::ReleaseSlot(SlotId slot) try {
  if (!IsServerSlot(slot)) {
    std::lock_guard<std::mutex> map(mapMutex_);
    auto found = slots_.find(slot.value);
    if (found == slots_.end()) {
      // Closed here first: the peer waits for this confirmation.
      SendControl(OppositeSlot(slot));
      return;
    }
    OST_LOG(kLogMuxTraffic, "Stopping slot={}", slot);
    found->second->Stop();
    // Recorded before the map lock goes: a DeleteStream in between would
    // otherwise not see the mark, never send the confirmation, and leave the
    // peer's slot number pending for good.
    std::lock_guard<std::mutex> state(stateMutex_);
    remoteReleased_.insert(slot.value);
    return;
  }
  {
    std::lock_guard<std::mutex> map(mapMutex_);
    auto found = slots_.find(slot.value);
    if (found != slots_.end()) {
      OST_LOG(kLogMuxTraffic, "Stopping slot={}", slot);
      found->second->Stop();
    }
  }
  OST_LOG(kLogMuxTraffic, "Server slot={} cleanup confirmed by remote", slot);
  std::lock_guard<std::mutex> state(stateMutex_);
  if (pendingRelease_.erase(slot.value) == 0) OST_THROW(Error(E_INVAL, "Unexpected number of slots on release"));
  OST_LOG(kLogMuxSlots, "Server slot={} closed", slot);
  freeSlots_.insert(slot.value);
}
OST_TRAIL

void Dispatcher::SendControl(SlotId target) try {
  SharedSink::Writer frame(sink_, target, 0);
  frame.Flush();
}
OST_TRAIL

void Dispatcher::DeliverFrame(SlotId slot, uint16_t length) try {
  ExpectedSizeReader payload(reader_, length);
  std::lock_guard<std::mutex> map(mapMutex_);
  auto found = slots_.find(slot.value);
  if (found != slots_.end()) {
    SlotStream& target = *found->second;
    // Delivery never waits for the slot's reader, so the queue is bounded
    // here: a peer must not fill our memory through a slot nobody reads.
    const int64_t queued = target.Queued();
    if (queued + length > limits_.slotQueueLimit) {
      OST_THROW(Error(E_NOBUFS, "Too much unread data for slot")
                    .Add("slot", ToString(slot))
                    .Add("queued", ToString(queued))
                    .Add("length", ToString(length))
                    .Add("limit", ToString(limits_.slotQueueLimit)));
    }
    OST_LOG(kLogMuxTraffic, "Dispatching {} bytes to slot={}", length, slot);
    target.Dispatch(payload, length);
  } else if (!IsServerSlot(slot)) {
    OST_THROW(Error(E_INVAL, "Unexpected packet to passive slot").Add("slot", ToString(slot)));
  } else {
    OST_LOG(kLogMuxTraffic, "{}: Ignored {} bytes to unused slot={}", name_, length, slot);
  }
  payload.ReadRemainingBytes();
}
OST_TRAIL

void Dispatcher::JobMain() {
  try {
    if (stopped_) return;
    int misses = 0;
    TimeoutMs wait = limits_.idleWait;
    for (;;) {
      unsigned char type = 0;  // ignored: every frame type is read alike
      if (reader_.ReadTimed(&type, 1, wait) == 0) {
        if (misses >= 1) OST_LOG(kLogMuxTraffic, "{}: Missed {} pings", name_, misses + 1);
        if (misses < 3) {
          OST_LOG(kLogMuxTraffic, "{}: Ping", name_);
          SendControl(kPingSlot);
          ++misses;
          wait = limits_.pingInterval;
          continue;
        }
        OST_LOG(kLogMuxTraffic, "{}: Connection is dead", name_);
        return;
      }
      reader_.SetTimeout(limits_.frameTimeout);
      uint16_t slot = 0;
      uint16_t length = 0;
      Serializer::Load(reader_, slot);
      Serializer::Load(reader_, length);
      if (length > 0) {
        DeliverFrame(SlotId(slot), length);
      } else if (slot == kPongSlot.value) {
        // Only proves that the peer is alive.
      } else if (slot == kPingSlot.value) {
        OST_LOG(kLogMuxTraffic, "{}: Pong", name_);
        SendControl(kPongSlot);
      } else {
        OST_LOG(kLogMuxTraffic, "{}: RST for slot={}", name_, slot);
        ReleaseSlot(SlotId(slot));
      }
      if (stopped_) return;
      misses = 0;
      wait = limits_.idleWait;
    }
  } catch (Error& e) {
    e.AddIn(__FILE_NAME__, __LINE__, __func__);
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

void Dispatcher::Stop() try {
  OST_LOG(kLogMuxTraffic, "{}: Stop", name_);
  stopped_ = true;
  connection_->Stop();
}
OST_TRAIL

}  // namespace OST
