#include "io/buffers.h"

#include <new>
#include <utility>

#include "core/error.h"
#include "core/log.h"

namespace OST {

SimpleBufferAllocator::SimpleBufferAllocator(int64_t size) : size_(size) {
  // A page without room would make every writer loop forever.
  if (size <= 0) OST_THROW(Error(E_INVAL, "Invalid buffer size").Add("length", ToString(size)));
}

Buffer SimpleBufferAllocator::Alloc() try {
  char* data = new (std::nothrow) char[size_];
  if (data == nullptr) OST_THROW(Error(E_NOMEM, "Could not allocate buffer").Add("length", ToString(size_)));
  return Buffer(*this, data, size_);
}
OST_TRAIL

void SimpleBufferAllocator::Free(char* data) { delete[] data; }

Buffer::Buffer(Buffer&& other) noexcept
    : freer_(other.freer_), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Buffer::~Buffer() {
  if (data_ == nullptr) return;
  try {
    freer_->Free(data_);
  } catch (const Error& e) {
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

}  // namespace OST
