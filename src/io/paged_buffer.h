// Byte queues made of fixed-size pages.
//
// A page queue (std::deque<UsedBuffer>) is owned by its user; the classes
// here hold a reference to it. PagedBufferWriter appends, filling each page
// completely before it takes the next one from its allocator, so every page
// but the last is full. PagedBufferReader walks the pages without changing
// them; PagedBufferConsumingReader and Fifo read from the front and give each
// page back as soon as its last byte in use has been read, so a queue holds
// only what has been written and not yet read, rounded up to whole pages.
//
// Thread contract: one thread at a time for all of them (WaitingFifo, in
// waiting_fifo.h, is the thread-safe queue). The page queue, the allocator
// and every page handed in must outlive the objects that refer to them.
#pragma once

#include <cstdint>
#include <deque>

#include "core/stream.h"
#include "io/buffers.h"

namespace OST {

class PagedBufferWriter : public NonCopyable, public virtual SizedSink {
 public:
  PagedBufferWriter(std::deque<UsedBuffer>& pages, BufferAllocator& allocator)
      : pages_(pages), allocator_(allocator) {}

  // Appends every byte of every element in order (elements with a length of
  // 0 or less add nothing). A failing allocation (E_NOMEM; E_INVAL "Invalid
  // buffer size" for a page without room) passes through after the bytes
  // before it were appended and counted.
  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}
  // Bytes appended since construction.
  int64_t Written() const override { return written_; }

 private:
  void Append(const char* data, int64_t length);

  std::deque<UsedBuffer>& pages_;
  BufferAllocator& allocator_;
  int64_t written_ = 0;
};

// Reads the queue from the start without changing it. The queue may grow
// between reads; pages must not be removed from it meanwhile.
class PagedBufferReader : public NonCopyable, public virtual ByteSource {
 public:
  explicit PagedBufferReader(const std::deque<UsedBuffer>& pages) : pages_(pages) {}

  // Copies up to `length` bytes from the current place, across pages; 0 at
  // the end. The time-out is not used.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override {}
  // True when every byte in the queue has been read.
  bool Empty() const;

 private:
  const std::deque<UsedBuffer>& pages_;
  size_t page_ = 0;     // index of the current page
  int64_t offset_ = 0;  // read offset in it
};

// Reads from the front of the queue and destroys each page (giving it back
// to its allocator) once its last byte in use has been read, even when the
// page is not full: later writes then start a new page.
class PagedBufferConsumingReader : public NonCopyable, public virtual ByteSource {
 public:
  explicit PagedBufferConsumingReader(std::deque<UsedBuffer>& pages) : pages_(pages) {}

  // Copies up to `length` bytes from the front page only, so at most the rest
  // of that page; 0 when the queue is empty. The time-out is not used.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override {}

 private:
  std::deque<UsedBuffer>& pages_;
  int64_t offset_ = -1;  // read offset in the front page; -1 while no page is being read
};

// A writer and a consuming reader on one queue.
class Fifo : public PagedBufferWriter, public virtual ByteSource {
 public:
  Fifo(std::deque<UsedBuffer>& pages, BufferAllocator& allocator) : PagedBufferWriter(pages, allocator), reader_(pages) {}

  // Like PagedBufferConsumingReader::ReadTimed but continues across pages
  // until `length` bytes are copied or the queue is empty.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override {}

 private:
  PagedBufferConsumingReader reader_;
};

}  // namespace OST
