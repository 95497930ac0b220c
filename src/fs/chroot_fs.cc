#include "fs/chroot_fs.h"

#include "core/error.h"

namespace OST {

ChrootFilesystem::ChrootFilesystem(Filesystem& fs, const Path& root, bool readOnly)
    : fs_(fs), root_(root), readOnly_(readOnly) {}

void ChrootFilesystem::CheckReadOnly() const try {
  if (readOnly_) ThrowReadOnly();
}
OST_TRAIL

void ChrootFilesystem::ThrowReadOnly() {
  OST_THROW(Error(E_ACCES, "Read only filesystem"));
}

Stat ChrootFilesystem::GetStat(const Path& path) try { return fs_.GetStat(root_.Join(path)); }
OST_TRAIL

std::vector<Entry> ChrootFilesystem::ReadDir(const Path& path) try { return fs_.ReadDir(root_.Join(path)); }
OST_TRAIL

void ChrootFilesystem::MakeDir(const Path& path) try {
  CheckReadOnly();
  fs_.MakeDir(root_.Join(path));
}
OST_TRAIL

void ChrootFilesystem::RemoveDir(const Path& path) try {
  CheckReadOnly();
  fs_.RemoveDir(root_.Join(path));
}
OST_TRAIL

std::unique_ptr<File> ChrootFilesystem::Open(const Path& path, File::Mode mode, File::Access access,
                                             uint32_t flags) try {
  if (mode != File::MODE_OPEN_EXISTING || access != File::ACCESS_RO) CheckReadOnly();
  return fs_.Open(root_.Join(path), mode, access, flags);
}
OST_TRAIL

void ChrootFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  CheckReadOnly();
  fs_.SetTimes(root_.Join(path), atime, mtime);
}
OST_TRAIL

void ChrootFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  CheckReadOnly();
  fs_.Rename(root_.Join(oldPath), root_.Join(newPath), flags);
}
OST_TRAIL

void ChrootFilesystem::Delete(const Path& path) try {
  CheckReadOnly();
  fs_.Delete(root_.Join(path));
}
OST_TRAIL

void ChrootFilesystem::SetFlags(const Path& path, uint32_t flags) try {
  CheckReadOnly();
  fs_.SetFlags(root_.Join(path), flags);
}
OST_TRAIL

}  // namespace OST
