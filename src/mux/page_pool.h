// PagePool: pages of one size that are kept for reuse once given back.
//
// The receive queues of a connection's slots take a page for every 65536
// bytes that arrive and give it back as soon as their reader has taken its
// bytes. Fetching each page from the heap afresh costs page faults and heap
// trimming on every page; the pool keeps up to a fixed number of idle pages
// and hands them out again, so a steady stream reuses the same few pages.
//
// Thread contract: safe from any thread (pages are taken by the connection's
// reading thread and given back by the slots' readers); the pool's mutex is
// a leaf lock, taken under any other and taking none.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "io/buffers.h"

namespace OST {

class PagePool : public NonCopyable, public virtual BufferAllocator {
 public:
  // Pages of `pageSize` bytes; at most `maxIdle` are kept for reuse. Throws
  // E_INVAL "Invalid buffer size" (detail `length`) unless pageSize > 0.
  PagePool(int64_t pageSize, int maxIdle);
  // Frees the idle pages. Requires: every page handed out has come back.
  ~PagePool() override;

  // An idle page, or a new one from the heap; E_NOMEM "Could not allocate
  // buffer" (detail `length`) when the heap refuses.
  Buffer Alloc() override;
  // Keeps the page for reuse, or frees it when maxIdle pages are idle.
  void Free(char* data) override;

  // Pages kept for reuse.
  int Idle() const;

 private:
  const int64_t size_;
  const int maxIdle_;
  mutable std::mutex mutex_;
  std::vector<char*> idle_;  // protected by mutex_
};

}  // namespace OST
