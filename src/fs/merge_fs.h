// Merge filesystems: several filesystems joined into one tree whose root
// holds one directory per mount point.
//
// A path is read as: the empty path is the root directory; its first
// component names a mount point; the rest (possibly empty) is a path inside
// the filesystem mounted there, which serves every operation below its
// mount point. The root and the mount points themselves cannot be created,
// removed, renamed or changed:
//
//   operation          root                         mount point       inside
//   GetStat            directory, creation times    GetStat(root)     GetStat(rest)
//   ReadDir            one entry per mount          ReadDir(root)     ReadDir(rest)
//   SetTimes           E_NOSYS                      SetTimes(root)    SetTimes(rest)
//   MakeDir/RemoveDir  E_ACCES "Inaccessible directory"               forwarded
//   Delete/SetFlags    E_ACCES "Inaccessible file"                    forwarded
//   Open               E_INVAL                      Open(root)        Open(rest)
//
// A name with nothing mounted under it gives E_NOENT "Mount point not
// found" (detail `path`). Rename needs two components on both sides and one
// common mount point (E_ACCES "Old location is read only" / "New location is
// read only", E_XDEV "Could not move file between different mount points").
//
// MergeFilesystem refers to filesystems it does not own and has no lock;
// MergeFilesystem2 holds shared links, guards its table with a mutex and
// runs forwarded calls outside it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "core/fs.h"
#include "core/interface.h"
#include "core/link.h"

namespace OST {

// Thread contract: the mount table is filled before other threads use the
// object and does not change while they do; then as safe from any thread as
// the mounted filesystems.
class MergeFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // The creation time is the current time.
  MergeFilesystem();

  // The root, the mount points or the mounted filesystems' answers (see the
  // table above). Errors of the mounted filesystems pass through.
  Stat GetStat(const Path& path) override;
  // The root lists the mounts in Path order, each with the GetStat of its
  // mounted root; the first failure fails the whole listing.
  std::vector<Entry> ReadDir(const Path& path) override;
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  // The caller owns the result.
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

  // Throws E_INVAL "Mount point name is invalid" (detail `name`) unless
  // `name` has one component, E_EXIST "Mount point already exists" (the
  // table is unchanged). Requires: `fs` outlives its mount.
  void Mount(const Path& name, Filesystem& fs);
  // Removes the entry only. Throws "Mount point name is invalid", E_INVAL
  // "Unexpected umount count" (detail `count` "0") when nothing is mounted.
  void Umount(const Path& name);
  // The filesystem mounted under `name`; E_NOENT "Mount point not found".
  Filesystem& ResolveFilesystem(const Path& name);

 private:
  // Splits off the first component and looks it up; returns the mounted
  // filesystem and the rest of the path.
  std::pair<Filesystem*, Path> Resolve(const Path& path);

  std::map<Path, Filesystem*> mounts_;
  const UnixTime created_;
};

// Thread contract: safe from any thread. mutex_ guards the table for
// Mount, Umount, every lookup and the whole root listing (including each
// mounted root's GetStat); a forwarded operation runs outside it on a
// shared reference to the link, so an Umount meanwhile cannot free the link
// under it. A mounted filesystem's GetStat of its root must not call back
// into the same MergeFilesystem2.
class MergeFilesystem2 : public NonCopyable, public virtual Filesystem {
 public:
  MergeFilesystem2();

  // As MergeFilesystem. A cut link fails with its own error (E_BADF
  // "Object doesn't exist"), in a root listing for the whole listing.
  Stat GetStat(const Path& path) override;
  std::vector<Entry> ReadDir(const Path& path) override;
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

  // As MergeFilesystem::Mount; the table shares ownership of the link. A
  // null link throws E_INVAL "Mount point link is missing".
  void Mount(const Path& name, std::shared_ptr<FilesystemLink> link);
  // Drops the table's share of the link; the filesystem behind it is neither
  // stopped nor destroyed.
  void Umount(const Path& name);
  std::shared_ptr<FilesystemLink> ResolveFilesystem(const Path& name);

 private:
  std::pair<std::shared_ptr<FilesystemLink>, Path> Resolve(const Path& path);

  std::mutex mutex_;
  std::map<Path, std::shared_ptr<FilesystemLink>> mounts_;  // protected by mutex_
  const UnixTime created_;
};

}  // namespace OST
