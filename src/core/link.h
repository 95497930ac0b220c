// Link<T>: a revocable, non-owning handle to an object another thread may
// destroy.
//
// Calls go through a shared lock and fail with E_BADF "Object doesn't exist"
// once the owner has revoked the link; Revoke takes the lock exclusively, so
// it waits for every call in flight and no call can start afterwards. Links
// are handed out as shared pointers, so every holder keeps the link alive,
// never the target. A target must not revoke its own link from inside a call
// that came through that link.
//
// Thread contract: safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/interface.h"

namespace OST {

template <typename T>
class Link : public NonCopyable {
 public:
  explicit Link(T* target) : target_(target) {}

  // Calls f(target) under the shared lock; throws "Object doesn't exist"
  // when revoked.
  template <typename F>
  decltype(auto) Call(F&& f) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (target_ == nullptr) ThrowBadObjectException();
    return std::forward<F>(f)(*target_);
  }

  // Cuts the link; waits for calls in flight. Never throws.
  void Revoke() {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    target_ = nullptr;
  }

  bool Revoked() {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return target_ == nullptr;
  }

 private:
  std::shared_mutex mutex_;
  T* target_;  // protected by mutex_; null once revoked
};

// A File reached through a Link; Writev and ReadTimed are File's defaults,
// which reach the target through WritevAt and ReadAt.
class FileLink : public Link<File>, public virtual File {
 public:
  explicit FileLink(File* target) : Link<File>(target) {}

  int64_t Seek(int64_t offset, Origin origin) override;
  int64_t ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) override;
  void WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) override;
  void SetTimes(AccessTime atime, ModifyTime mtime) override;
  void Trunc(int64_t size) override;
  void Flush() override;
  void Stop() override;
};

class FilesystemLink : public Link<Filesystem>, public virtual Filesystem {
 public:
  explicit FilesystemLink(Filesystem* target) : Link<Filesystem>(target) {}

  Stat GetStat(const Path& path) override;
  std::vector<Entry> ReadDir(const Path& path) override;
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;
};

}  // namespace OST
