// DescriptorStorage: hands out descriptor numbers from a fixed range and
// takes them back, the smallest released number first.
//
// Numbers run from `first` up to, but not including, `limit`; a storage
// built with (1, 256) hands out 1..255. Released numbers are reused before
// new ones, smallest first. Logs "used new fd={}", "reused fd={}" and
// "released fd={}" in category 106.
//
// Thread contract: safe from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "core/interface.h"

namespace OST {

class DescriptorStorage : public NonCopyable {
 public:
  DescriptorStorage(uint32_t first, uint32_t limit);

  // The smallest released number, else the next never-used one. Throws
  // E_MFILE "Too many open files" when neither is left.
  uint32_t Get();
  // Gives a number back. Requires: the caller holds `number` (it is not
  // checked).
  void Release(uint32_t number);

 private:
  std::mutex mutex_;
  uint32_t next_;                  // protected by mutex_: the next never-used number
  std::deque<uint32_t> released_;  // protected by mutex_
  const uint32_t limit_;
};

}  // namespace OST
