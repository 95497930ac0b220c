// ShareFilesystem: the shares offered to one peer as one filesystem.
//
// Its top directory holds one directory per share, showing the share's host
// directory through a ChrootFilesystem over the host files, read-only unless
// the share grants writing. Beside each share it shows the snapshots stored
// in the share's top directory: every file there whose extension is exactly
// "snap" and that holds a valid snapshot is mounted read-only under the
// share's name, a ".", and the file name without ".snap" (week.snap in the
// share docs becomes docs.week), with file contents read from the share.
// The tree is fixed at construction: snapshot files added later are not
// shown until a new share filesystem is built.
//
// LoopbackFilesystem collects one ShareFilesystem per peer, so this node can
// look at its own shares as each peer sees them; the volume root reaches it
// through its link, which it cuts before it is destroyed.
//
// Thread contract: a ShareFilesystem never changes after construction and is
// used by any number of threads at once. A LoopbackFilesystem is filled
// before it is published through its link and not given new mounts while
// other threads use it.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "config/config.h"
#include "core/fs.h"
#include "core/interface.h"
#include "core/link.h"
#include "fs/fs_native.h"
#include "fs/merge_fs.h"

namespace OST {

class ShareFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // Mounts every share in list order, each followed by its snapshots. An
  // invalid share name (not exactly one component) fails with E_INVAL
  // "Mount point name is invalid", a repeated one (also one that equals a
  // snapshot mount made earlier) with E_EXIST "Mount point already exists";
  // everything made so far is destroyed. A share whose directory is missing
  // is still mounted. Snapshot problems never fail the constructor: the
  // first snapshot file of a share that cannot be read or mounted ends that
  // share's snapshot scan, keeping what was mounted before it.
  explicit ShareFilesystem(const std::vector<ShareCfg>& shares);
  ~ShareFilesystem() override;

  // The operations of the mount table (MergeFilesystem): the top directory
  // lists the mount names; below a share the host files answer, a
  // read-only share refusing changes with E_ACCES "Read only filesystem".
  Stat GetStat(const Path& path) override;
  std::vector<Entry> ReadDir(const Path& path) override;
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  // The caller owns the result.
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

 private:
  // Owns the chroot and snapshot filesystems; destroys them last first, so
  // a snapshot goes before the chroot it reads from.
  struct Owned {
    std::vector<std::unique_ptr<Filesystem>> items;
    ~Owned();
  };

  // Keeps `fs` and mounts it under `name`; on failure `fs` is destroyed.
  void MountOwned(const Path& name, std::unique_ptr<Filesystem> fs);
  // Mounts the snapshots found in the share's top directory.
  void ScanSnapshots(const ShareCfg& share, Filesystem& files);

  // Declared in this order so that the owned filesystems go first, then the
  // mount table that refers to them.
  NativeFilesystem native_;
  MergeFilesystem merge_;
  Owned owned_;
};

class LoopbackFilesystem : public MergeFilesystem {
 public:
  // An empty loopback filesystem and its link.
  LoopbackFilesystem();
  // Cuts the link first (waiting for calls in flight), then destroys the
  // share filesystems and the mount table.
  ~LoopbackFilesystem() override;

  // Mounts `fs` under `name` and keeps it; errors of MergeFilesystem::Mount,
  // after which `fs` is destroyed.
  void Mount(const Path& name, std::unique_ptr<ShareFilesystem> fs);
  // A copy of the shared link to this filesystem.
  std::shared_ptr<FilesystemLink> Link() const { return link_; }

 private:
  std::map<Path, std::unique_ptr<ShareFilesystem>> shares_;
  std::shared_ptr<FilesystemLink> link_;
};

}  // namespace OST
