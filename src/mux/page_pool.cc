#include "mux/page_pool.h"

#include <new>

#include "core/error.h"
#include "core/format.h"

namespace OST {

PagePool::PagePool(int64_t pageSize, int maxIdle) try : size_(pageSize), maxIdle_(maxIdle) {
  if (pageSize <= 0) OST_THROW(Error(E_INVAL, "Invalid buffer size").Add("length", ToString(pageSize)));
  idle_.reserve(maxIdle > 0 ? maxIdle : 0);
}
OST_TRAIL

PagePool::~PagePool() {
  for (char* page : idle_) delete[] page;
}

Buffer PagePool::Alloc() try {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      char* page = idle_.back();
      idle_.pop_back();
      return Buffer(*this, page, size_);
    }
  }
  char* page = new (std::nothrow) char[size_];
  if (page == nullptr) OST_THROW(Error(E_NOMEM, "Could not allocate buffer").Add("length", ToString(size_)));
  return Buffer(*this, page, size_);
}
OST_TRAIL

void PagePool::Free(char* data) {
  if (data == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<int>(idle_.size()) < maxIdle_) {
      idle_.push_back(data);
      return;
    }
  }
  delete[] data;
}

int PagePool::Idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(idle_.size());
}

}  // namespace OST
