#include "util/recording_fs.h"

#include "core/format.h"

namespace OST::testutil {

std::vector<std::string> RecordingFilesystem::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> RecordingFilesystem::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& call : Calls()) {
    if (call.starts_with(prefix)) found.push_back(call);
  }
  return found;
}

void RecordingFilesystem::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

void RecordingFilesystem::Record(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(line);
  }
  if (hook) hook(line);
}

Stat RecordingFilesystem::GetStat(const Path& path) {
  Record("GetStat " + path.ToString());
  return inner_.GetStat(path);
}

std::vector<Entry> RecordingFilesystem::ReadDir(const Path& path) {
  Record("ReadDir " + path.ToString());
  return inner_.ReadDir(path);
}

void RecordingFilesystem::MakeDir(const Path& path) {
  Record("MakeDir " + path.ToString());
  inner_.MakeDir(path);
}

void RecordingFilesystem::RemoveDir(const Path& path) {
  Record("RemoveDir " + path.ToString());
  inner_.RemoveDir(path);
}

std::unique_ptr<File> RecordingFilesystem::Open(const Path& path, File::Mode mode, File::Access access,
                                                uint32_t flags) {
  Record(Format("Open {} mode={} access={} flags={}", path, mode, access, flags));
  return inner_.Open(path, mode, access, flags);
}

void RecordingFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) {
  Record(Format("SetTimes {} {} {}", path, atime, mtime));
  inner_.SetTimes(path, atime, mtime);
}

void RecordingFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) {
  Record(Format("Rename {} {} flags={}", oldPath, newPath, flags));
  inner_.Rename(oldPath, newPath, flags);
}

void RecordingFilesystem::Delete(const Path& path) {
  Record("Delete " + path.ToString());
  inner_.Delete(path);
}

void RecordingFilesystem::SetFlags(const Path& path, uint32_t flags) {
  Record(Format("SetFlags {} {}", path, flags));
  inner_.SetFlags(path, flags);
}

}  // namespace OST::testutil
