// RecordingFilesystem: a Filesystem decorator for tests that records every
// call as one line of text and then forwards it.
//
// Lines: "GetStat a/b", "ReadDir ", "MakeDir a", "RemoveDir a",
// "Open a mode=4 access=1 flags=6", "SetTimes a 10 20", "Rename a b flags=1",
// "Delete a", "SetFlags a 6" (paths in Path::ToString form, numbers in
// decimal). A hook, when set, runs with the line before the call is
// forwarded: a test can block a call there or make it fail by throwing.
//
// Thread contract: safe from any thread; set `hook` before other threads
// use the object.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/interface.h"

namespace OST::testutil {

class RecordingFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // Requires: `inner` outlives this object.
  explicit RecordingFilesystem(Filesystem& inner) : inner_(inner) {}

  std::vector<std::string> Calls() const;
  // The recorded lines that start with `prefix` ("Open ").
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  void Clear();

  std::function<void(const std::string& call)> hook;

  Stat GetStat(const Path& path) override;
  std::vector<Entry> ReadDir(const Path& path) override;
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

 private:
  void Record(const std::string& line);

  Filesystem& inner_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;  // protected by mutex_
};

}  // namespace OST::testutil
