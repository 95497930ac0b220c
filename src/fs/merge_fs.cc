#include "fs/merge_fs.h"

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"

namespace OST {
namespace {

constexpr int kLogMerge = 119;

Stat RootStat(UnixTime created) {
  return Stat(FLAG_DIR, 0, AccessTime(created.value), ModifyTime(created.value), ChangeTime(created.value));
}

// The root and the mount points are fixed directories: nothing below a
// merge filesystem's own levels may be created, removed or changed.
void CheckDirectoryAccess(const Path& path) {
  if (path.Levels() < 2) OST_THROW(Error(E_ACCES, "Inaccessible directory"));
}

void CheckFileAccess(const Path& path) {
  if (path.Levels() < 2) OST_THROW(Error(E_ACCES, "Inaccessible file"));
}

void CheckTimesAccess(const Path& path) {
  if (path.Empty()) OST_THROW(Error(E_NOSYS, "File times are not supported at this place"));
}

void CheckRename(const Path& oldPath, const Path& newPath) {
  if (oldPath.Levels() < 2) OST_THROW(Error(E_ACCES, "Old location is read only").Add("path", oldPath.ToString()));
  if (newPath.Levels() < 2) OST_THROW(Error(E_ACCES, "New location is read only").Add("path", newPath.ToString()));
  Path oldMount(oldPath);
  oldMount.Split(1);
  Path newMount(newPath);
  newMount.Split(1);
  if (oldMount != newMount) OST_THROW(Error(E_XDEV, "Could not move file between different mount points"));
}

void CheckMountName(const Path& name) {
  if (name.Levels() != 1) OST_THROW(Error(E_INVAL, "Mount point name is invalid").Add("name", name.ToString()));
}

[[noreturn]] void ThrowNotMounted(const Path& name) {
  OST_THROW(Error(E_NOENT, "Mount point not found").Add("path", name.ToString()));
}

[[noreturn]] void ThrowUmountCount() {
  OST_THROW(Error(E_INVAL, "Unexpected umount count").Add("count", "0"));
}

}  // namespace

// ---- MergeFilesystem ----

MergeFilesystem::MergeFilesystem() : created_(CurrentTime()) {}

Filesystem& MergeFilesystem::ResolveFilesystem(const Path& name) try {
  const auto found = mounts_.find(name);
  if (found == mounts_.end()) ThrowNotMounted(name);
  return *found->second;
}
OST_TRAIL

std::pair<Filesystem*, Path> MergeFilesystem::Resolve(const Path& path) try {
  Path name(path);
  Path rest = name.Split(1);
  return {&ResolveFilesystem(name), std::move(rest)};
}
OST_TRAIL

Stat MergeFilesystem::GetStat(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  if (path.Empty()) return RootStat(created_);
  auto [fs, rest] = Resolve(path);
  return fs->GetStat(rest);
}
OST_TRAIL

std::vector<Entry> MergeFilesystem::ReadDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  if (path.Empty()) {
    std::vector<Entry> entries;
    for (const auto& [name, fs] : mounts_) entries.emplace_back(name, fs->GetStat(Path()));
    return entries;
  }
  auto [fs, rest] = Resolve(path);
  return fs->ReadDir(rest);
}
OST_TRAIL

void MergeFilesystem::MakeDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckDirectoryAccess(path);
  auto [fs, rest] = Resolve(path);
  fs->MakeDir(rest);
}
OST_TRAIL

void MergeFilesystem::RemoveDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckDirectoryAccess(path);
  auto [fs, rest] = Resolve(path);
  fs->RemoveDir(rest);
}
OST_TRAIL

std::unique_ptr<File> MergeFilesystem::Open(const Path& path, File::Mode mode, File::Access access,
                                            uint32_t flags) try {
  OST_LOG(kLogMerge, "path={}", path);
  auto [fs, rest] = Resolve(path);
  return fs->Open(rest, mode, access, flags);
}
OST_TRAIL

void MergeFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckTimesAccess(path);
  auto [fs, rest] = Resolve(path);
  fs->SetTimes(rest, atime, mtime);
}
OST_TRAIL

void MergeFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  OST_LOG(kLogMerge, "oldPath={} newPath={}", oldPath, newPath);
  CheckRename(oldPath, newPath);
  auto [fs, oldRest] = Resolve(oldPath);
  Path newRest(newPath);
  newRest = newRest.Split(1);
  fs->Rename(oldRest, newRest, flags);
}
OST_TRAIL

void MergeFilesystem::Delete(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckFileAccess(path);
  auto [fs, rest] = Resolve(path);
  fs->Delete(rest);
}
OST_TRAIL

void MergeFilesystem::SetFlags(const Path& path, uint32_t flags) try {
  OST_LOG(kLogMerge, "path={} flags={}", path, Stat::FlagsText(flags));
  CheckFileAccess(path);
  auto [fs, rest] = Resolve(path);
  fs->SetFlags(rest, flags);
}
OST_TRAIL

void MergeFilesystem::Mount(const Path& name, Filesystem& fs) try {
  OST_LOG(kLogMerge, "path={}", name);
  CheckMountName(name);
  if (!mounts_.emplace(name, &fs).second) OST_THROW(Error(E_EXIST, "Mount point already exists"));
}
OST_TRAIL

void MergeFilesystem::Umount(const Path& name) try {
  OST_LOG(kLogMerge, "path={}", name);
  CheckMountName(name);
  if (mounts_.erase(name) != 1) ThrowUmountCount();
}
OST_TRAIL

// ---- MergeFilesystem2 ----

MergeFilesystem2::MergeFilesystem2() : created_(CurrentTime()) {}

std::shared_ptr<FilesystemLink> MergeFilesystem2::ResolveFilesystem(const Path& name) try {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = mounts_.find(name);
  if (found == mounts_.end()) ThrowNotMounted(name);
  return found->second;
}
OST_TRAIL

std::pair<std::shared_ptr<FilesystemLink>, Path> MergeFilesystem2::Resolve(const Path& path) try {
  Path name(path);
  Path rest = name.Split(1);
  return {ResolveFilesystem(name), std::move(rest)};
}
OST_TRAIL

Stat MergeFilesystem2::GetStat(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  if (path.Empty()) return RootStat(created_);
  auto [link, rest] = Resolve(path);
  return link->GetStat(rest);
}
OST_TRAIL

std::vector<Entry> MergeFilesystem2::ReadDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  if (path.Empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> entries;
    for (const auto& [name, link] : mounts_) entries.emplace_back(name, link->GetStat(Path()));
    OST_LOG(kLogMerge, "Returning {} mount points directory", entries.size());
    return entries;
  }
  auto [link, rest] = Resolve(path);
  return link->ReadDir(rest);
}
OST_TRAIL

void MergeFilesystem2::MakeDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckDirectoryAccess(path);
  auto [link, rest] = Resolve(path);
  link->MakeDir(rest);
}
OST_TRAIL

void MergeFilesystem2::RemoveDir(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckDirectoryAccess(path);
  auto [link, rest] = Resolve(path);
  link->RemoveDir(rest);
}
OST_TRAIL

std::unique_ptr<File> MergeFilesystem2::Open(const Path& path, File::Mode mode, File::Access access,
                                             uint32_t flags) try {
  OST_LOG(kLogMerge, "path={} mode={} access={}", path, mode, access);
  auto [link, rest] = Resolve(path);
  return link->Open(rest, mode, access, flags);
}
OST_TRAIL

void MergeFilesystem2::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckTimesAccess(path);
  auto [link, rest] = Resolve(path);
  link->SetTimes(rest, atime, mtime);
}
OST_TRAIL

void MergeFilesystem2::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  OST_LOG(kLogMerge, "oldPath={} newPath={}", oldPath, newPath);
  CheckRename(oldPath, newPath);
  auto [link, oldRest] = Resolve(oldPath);
  Path newRest(newPath);
  newRest = newRest.Split(1);
  link->Rename(oldRest, newRest, flags);
}
OST_TRAIL

void MergeFilesystem2::Delete(const Path& path) try {
  OST_LOG(kLogMerge, "path={}", path);
  CheckFileAccess(path);
  auto [link, rest] = Resolve(path);
  link->Delete(rest);
}
OST_TRAIL

void MergeFilesystem2::SetFlags(const Path& path, uint32_t flags) try {
  OST_LOG(kLogMerge, "path={} flags={}", path, Stat::FlagsText(flags));
  CheckFileAccess(path);
  auto [link, rest] = Resolve(path);
  link->SetFlags(rest, flags);
}
OST_TRAIL

void MergeFilesystem2::Mount(const Path& name, std::shared_ptr<FilesystemLink> link) try {
  CheckMountName(name);
  if (!link) OST_THROW(Error(E_INVAL, "Mount point link is missing").Add("name", name.ToString()));
  std::lock_guard<std::mutex> lock(mutex_);
  if (!mounts_.emplace(name, std::move(link)).second) OST_THROW(Error(E_EXIST, "Mount point already exists"));
}
OST_TRAIL

void MergeFilesystem2::Umount(const Path& name) try {
  CheckMountName(name);
  std::shared_ptr<FilesystemLink> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = mounts_.find(name);
    if (found == mounts_.end()) ThrowUmountCount();
    removed = std::move(found->second);
    mounts_.erase(found);
  }
  // The table's share of the link is dropped here, outside the mutex.
}
OST_TRAIL

}  // namespace OST
