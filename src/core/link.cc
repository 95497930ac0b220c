#include "core/link.h"

namespace OST {

int64_t FileLink::Seek(int64_t offset, Origin origin) try {
  return Call([&](File& f) { return f.Seek(offset, origin); });
}
OST_TRAIL

int64_t FileLink::ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) try {
  return Call([&](File& f) { return f.ReadAt(offset, origin, buffer, size); });
}
OST_TRAIL

void FileLink::WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) try {
  Call([&](File& f) { f.WritevAt(offset, origin, iov, count); });
}
OST_TRAIL

void FileLink::SetTimes(AccessTime atime, ModifyTime mtime) try {
  Call([&](File& f) { f.SetTimes(atime, mtime); });
}
OST_TRAIL

void FileLink::Trunc(int64_t size) try { Call([&](File& f) { f.Trunc(size); }); }
OST_TRAIL

void FileLink::Flush() try { Call([](File& f) { f.Flush(); }); }
OST_TRAIL

void FileLink::Stop() try { Call([](File& f) { f.Stop(); }); }
OST_TRAIL

Stat FilesystemLink::GetStat(const Path& path) try {
  return Call([&](Filesystem& fs) { return fs.GetStat(path); });
}
OST_TRAIL

std::vector<Entry> FilesystemLink::ReadDir(const Path& path) try {
  return Call([&](Filesystem& fs) { return fs.ReadDir(path); });
}
OST_TRAIL

void FilesystemLink::MakeDir(const Path& path) try { Call([&](Filesystem& fs) { fs.MakeDir(path); }); }
OST_TRAIL

void FilesystemLink::RemoveDir(const Path& path) try { Call([&](Filesystem& fs) { fs.RemoveDir(path); }); }
OST_TRAIL

std::unique_ptr<File> FilesystemLink::Open(const Path& path, File::Mode mode, File::Access access,
                                           uint32_t flags) try {
  return Call([&](Filesystem& fs) { return fs.Open(path, mode, access, flags); });
}
OST_TRAIL

void FilesystemLink::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  Call([&](Filesystem& fs) { fs.SetTimes(path, atime, mtime); });
}
OST_TRAIL

void FilesystemLink::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  Call([&](Filesystem& fs) { fs.Rename(oldPath, newPath, flags); });
}
OST_TRAIL

void FilesystemLink::Delete(const Path& path) try { Call([&](Filesystem& fs) { fs.Delete(path); }); }
OST_TRAIL

void FilesystemLink::SetFlags(const Path& path, uint32_t flags) try {
  Call([&](Filesystem& fs) { fs.SetFlags(path, flags); });
}
OST_TRAIL

}  // namespace OST
