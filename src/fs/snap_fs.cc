#include "fs/snap_fs.h"

#include "core/error.h"
#include "core/text.h"

namespace OST {
namespace {

Stat RootStat() {
  const int64_t now = CurrentTime().value;
  return Stat(FLAG_DIR, 0, AccessTime(now), ModifyTime(now), ChangeTime(now));
}

}  // namespace

SnapFilesystem::SnapFilesystem(Filesystem& files, const SnapDir& dir) : files_(files), dir_(dir), root_(RootStat()) {}

void SnapFilesystem::FailReadOnly() { OST_THROW(Error(E_ACCES, "Read only filesystem")); }

Stat SnapFilesystem::GetStat(const Path& path) try {
  if (path.Empty()) return root_;
  return dir_.GetStat(path);
} catch (Error& e) {
  e.Add("path", path.ToString());
  e.AddIn(__FILE_NAME__, __LINE__, __func__);
  throw;
}

std::vector<Entry> SnapFilesystem::ReadDir(const Path& path) try { return dir_.ReadDir(path); }
OST_TRAIL

std::unique_ptr<File> SnapFilesystem::Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) try {
  if (mode != File::MODE_OPEN_EXISTING || access != File::ACCESS_RO) FailReadOnly();
  if (!dir_.FindStat(path)) OST_THROW(Error(E_NOENT, "File not found"));
  return files_.Open(path, mode, access, flags);
} catch (Error& e) {
  e.Add("path", path.ToString());
  e.AddIn(__FILE_NAME__, __LINE__, __func__);
  throw;
}

void SnapFilesystem::MakeDir(const Path&) try { FailReadOnly(); }
OST_TRAIL

void SnapFilesystem::RemoveDir(const Path&) try { FailReadOnly(); }
OST_TRAIL

void SnapFilesystem::SetTimes(const Path&, AccessTime, ModifyTime) try { FailReadOnly(); }
OST_TRAIL

void SnapFilesystem::Rename(const Path&, const Path&, uint32_t) try { FailReadOnly(); }
OST_TRAIL

void SnapFilesystem::Delete(const Path&) try { FailReadOnly(); }
OST_TRAIL

void SnapFilesystem::SetFlags(const Path&, uint32_t) try { FailReadOnly(); }
OST_TRAIL

const SnapDir& SnapFilesystem2::Require(const std::unique_ptr<SnapDir>& dir) try {
  if (!dir) OST_THROW(Error(E_INVAL, "Snapshot is missing"));
  return *dir;
}
OST_TRAIL

// The base keeps a reference to the SnapDir, which stays where it is when
// the pointer moves into `owned_`.
SnapFilesystem2::SnapFilesystem2(Filesystem& files, std::unique_ptr<SnapDir> dir) try
    : SnapFilesystem(files, Require(dir)), owned_(std::move(dir)) {}
OST_TRAIL

}  // namespace OST
