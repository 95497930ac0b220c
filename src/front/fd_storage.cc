#include "front/fd_storage.h"

#include <algorithm>
#include <functional>

#include "core/error.h"
#include "core/log.h"

namespace OST {
namespace {
constexpr int kLogDescriptors = 106;
}  // namespace

DescriptorStorage::DescriptorStorage(uint32_t first, uint32_t limit) : next_(first), limit_(limit) {}

uint32_t DescriptorStorage::Get() try {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!released_.empty()) {
    std::make_heap(released_.begin(), released_.end(), std::greater<uint32_t>());
    std::pop_heap(released_.begin(), released_.end(), std::greater<uint32_t>());
    const uint32_t number = released_.back();
    released_.pop_back();
    OST_LOG(kLogDescriptors, "reused fd={}", number);
    return number;
  }
  if (next_ >= limit_) OST_THROW(Error(E_MFILE, "Too many open files"));
  const uint32_t number = next_++;
  OST_LOG(kLogDescriptors, "used new fd={}", number);
  return number;
}
OST_TRAIL

void DescriptorStorage::Release(uint32_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  released_.push_back(number);
  OST_LOG(kLogDescriptors, "released fd={}", number);
}

}  // namespace OST
