// Fixed-size memory pages and the allocators they come from.
//
// Byte queues in memory (slot streams, the remote page cache, error details)
// are built from pages of one size handed out by a BufferAllocator. A Buffer
// owns one page and gives it back to the allocator it came from when it dies;
// a UsedBuffer adds how many bytes of the page hold data.
//
// Thread contract: SimpleBufferAllocator is safe from any thread (it keeps no
// state besides its page size). Buffer and UsedBuffer are owned by one thread
// at a time.
#pragma once

#include <cstdint>
#include <utility>

#include "core/interface.h"

namespace OST {

class Buffer;

// Where a page goes back to.
class BufferFreer : public virtual Interface {
 public:
  // Gives the page `data` back; nothing for a null pointer.
  virtual void Free(char* data) = 0;
};

class BufferAllocator : public virtual BufferFreer {
 public:
  // A new page; the caller owns it (the Buffer gives it back on destruction).
  // Throws E_NOMEM when no memory is left.
  virtual Buffer Alloc() = 0;
};

// Pages of one size from the heap.
class SimpleBufferAllocator : public NonCopyable, public virtual BufferAllocator {
 public:
  // Throws E_INVAL "Invalid buffer size" (detail `length`) unless size > 0.
  explicit SimpleBufferAllocator(int64_t size);

  // A page of Size() bytes; E_NOMEM "Could not allocate buffer" (detail
  // `length`) when the heap refuses.
  Buffer Alloc() override;
  void Free(char* data) override;

  int64_t Size() const { return size_; }

 private:
  const int64_t size_;  // constant after construction
};

// One page: its bytes, its size and the freer it goes back to. Movable (the
// source is left empty), not copyable.
class Buffer {
 public:
  // Takes ownership of `data` (size bytes), to be given back to `freer`,
  // which must outlive the buffer.
  Buffer(BufferFreer& freer, char* data, int64_t size) : freer_(&freer), data_(data), size_(size) {}
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&&) = delete;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  // Gives a non-empty page back; a failure is logged ("Error: {}", category
  // 123) and dropped.
  ~Buffer();

  char* Data() const { return data_; }
  int64_t Size() const { return size_; }
  bool Empty() const { return data_ == nullptr; }

 private:
  BufferFreer* freer_;
  char* data_;
  int64_t size_;
};

// A page and the number of its bytes in use (0..Size(), starting at 0).
struct UsedBuffer {
  explicit UsedBuffer(Buffer&& buffer) : buffer(std::move(buffer)) {}
  UsedBuffer(UsedBuffer&& other) noexcept = default;
  UsedBuffer& operator=(UsedBuffer&&) = delete;

  int64_t Room() const { return buffer.Size() - used; }

  Buffer buffer;
  int64_t used = 0;
};

}  // namespace OST
