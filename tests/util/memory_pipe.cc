#include "util/memory_pipe.h"

#include <algorithm>
#include <chrono>

#include "core/error.h"

namespace OST::testutil {

void MemoryPipe::Put(const Iovec* iov, int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) OST_THROW(Error(E_PIPE, "Pipe is closed"));
    for (int i = 0; i < count; ++i) {
      const auto* data = static_cast<const char*>(iov[i].data);
      bytes_.insert(bytes_.end(), data, data + iov[i].length);
    }
  }
  changed_.notify_all();
}

int64_t MemoryPipe::Take(void* buffer, int64_t length, TimeoutMs timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout.value),
                    [&] { return stopped_ || closed_ || !bytes_.empty(); });
  if (stopped_) OST_THROW(Error(E_INTR, "Read has been interrupted"));
  const int64_t n = std::min<int64_t>(length, static_cast<int64_t>(bytes_.size()));
  std::copy_n(bytes_.begin(), n, static_cast<char*>(buffer));
  bytes_.erase(bytes_.begin(), bytes_.begin() + n);
  return n;
}

void MemoryPipe::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void MemoryPipe::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

MemoryStream::MemoryStream(std::shared_ptr<MemoryPipe> in, std::shared_ptr<MemoryPipe> out)
    : in_(std::move(in)), out_(std::move(out)) {}

MemoryStream::~MemoryStream() { out_->Close(); }

int64_t MemoryStream::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  if (length <= 0) return 0;
  return in_->Take(buffer, length, GetTimeout(timeout));
}
OST_TRAIL

void MemoryStream::Writev(const Iovec* iov, int count) try { out_->Put(iov, count); }
OST_TRAIL

std::pair<std::unique_ptr<MemoryStream>, std::unique_ptr<MemoryStream>> MakeStreamPair(TimeoutMs timeout) {
  auto ab = std::make_shared<MemoryPipe>();
  auto ba = std::make_shared<MemoryPipe>();
  auto a = std::make_unique<MemoryStream>(ba, ab);
  auto b = std::make_unique<MemoryStream>(ab, ba);
  a->SetTimeout(timeout);
  b->SetTimeout(timeout);
  return {std::move(a), std::move(b)};
}

}  // namespace OST::testutil
