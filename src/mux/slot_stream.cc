#include <utility>

#include "core/error.h"
#include "core/log.h"
#include "mux/dispatcher.h"

namespace OST {

Dispatcher::SlotStream::SlotStream(Dispatcher& dispatcher, SlotId slot) try
    : link_(std::make_shared<Link<SlotStream>>(this)),
      dispatcher_(dispatcher),
      fifo_(dispatcher.pages_),
      out_(dispatcher.sink_, OppositeSlot(slot)),
      writer_(out_),
      slot_(slot) {}
OST_TRAIL

Dispatcher::SlotStream::~SlotStream() {
  // Before anything else goes: handle calls in flight finish first, later
  // ones fail with "Object doesn't exist".
  link_->Revoke();
}

int64_t Dispatcher::SlotStream::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  return fifo_.ReadTimed(buffer, length, GetTimeout(timeout));
}
OST_TRAIL

void Dispatcher::SlotStream::Writev(const Iovec* iov, int count) try { writer_.Writev(iov, count); }
OST_TRAIL

void Dispatcher::SlotStream::Flush() try { writer_.Flush(); }
OST_TRAIL

void Dispatcher::SlotStream::Stop() {
  fifo_.Stop();
}

void Dispatcher::SlotStream::Dispatch(ByteSource& from, int64_t count) try { StreamCopy(fifo_, from, count); }
OST_TRAIL

Dispatcher::Stream2::Stream2(std::shared_ptr<Link<Dispatcher>> dispatcher, std::shared_ptr<Link<SlotStream>> slot)
    : dispatcher_(std::move(dispatcher)), slot_(std::move(slot)) {}

Dispatcher::Stream2::Stream2(Stream2&& other) noexcept
    : dispatcher_(std::move(other.dispatcher_)), slot_(std::move(other.slot_)) {
  SetTimeout(other.GetTimeout(kDefaultTimeout));
}

Dispatcher::Stream2::~Stream2() {
  if (slot_ == nullptr) return;
  try {
    // The slot stream's link is released before the dispatcher's is taken:
    // deleting the slot stream cuts that link and waits for its holders.
    const SlotId slot = slot_->Call([](SlotStream& stream) { return stream.Slot(); });
    dispatcher_->Call([slot](Dispatcher& dispatcher) { dispatcher.DeleteStream(slot); });
  } catch (Error& e) {
    e.AddIn(__FILE_NAME__, __LINE__, __func__);
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

int64_t Dispatcher::Stream2::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const TimeoutMs resolved = GetTimeout(timeout);
  if (slot_ == nullptr) ThrowBadObjectException();
  return slot_->Call([&](SlotStream& stream) { return stream.ReadTimed(buffer, length, resolved); });
}
OST_TRAIL

void Dispatcher::Stream2::Writev(const Iovec* iov, int count) try {
  if (slot_ == nullptr) ThrowBadObjectException();
  slot_->Call([&](SlotStream& stream) { stream.Writev(iov, count); });
}
OST_TRAIL

void Dispatcher::Stream2::Flush() try {
  if (slot_ == nullptr) ThrowBadObjectException();
  slot_->Call([](SlotStream& stream) { stream.Flush(); });
}
OST_TRAIL

void Dispatcher::Stream2::Stop() try {
  if (slot_ == nullptr) ThrowBadObjectException();
  slot_->Call([](SlotStream& stream) { stream.Stop(); });
}
OST_TRAIL

}  // namespace OST
