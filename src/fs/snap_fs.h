// SnapFilesystem: a snapshot (SnapDir) shown as a read-only filesystem.
//
// Listings and Stat records come from the snapshot; the contents of a file
// are read from another filesystem at the same path, so a snapshot of a
// share shows the share as it was listed, with today's file contents. Only
// paths recorded in the snapshot can be opened, and only for reading.
// Every change is refused with E_ACCES "Read only filesystem". The root has
// a directory Stat whose three times are the moment of construction.
//
// SnapFilesystem2 is the variant that owns its SnapDir (the share
// filesystem mounts those).
//
// Thread contract: no state changes after construction; safe from any
// thread as far as the contents filesystem is.
#pragma once

#include <memory>

#include "core/fs.h"
#include "core/interface.h"
#include "fs/snap_dir.h"

namespace OST {

class SnapFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // Requires: `files` and `dir` outlive this object.
  SnapFilesystem(Filesystem& files, const SnapDir& dir);

  // The root Stat for the root path, else the snapshot's GetStat: E_NOENT
  // "Path not found". Errors carry the detail `path`.
  Stat GetStat(const Path& path) override;
  // The snapshot's listing in stored order; E_NOENT "Directory not found".
  std::vector<Entry> ReadDir(const Path& path) override;
  // Only MODE_OPEN_EXISTING with ACCESS_RO, else E_ACCES "Read only
  // filesystem"; the path must be recorded (E_NOENT "File not found"; the
  // root path gives E_INVAL "No stat for the root directory"); then the
  // contents filesystem opens it, and its errors pass through. Errors carry
  // the detail `path`. The caller owns the result.
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  // Always E_ACCES "Read only filesystem".
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

 private:
  [[noreturn]] static void FailReadOnly();

  // Constant after construction.
  Filesystem& files_;
  const SnapDir& dir_;
  const Stat root_;
};

class SnapFilesystem2 : public SnapFilesystem {
 public:
  // Takes ownership of `dir`; E_INVAL "Snapshot is missing" when it is null.
  // Requires: `files` outlives this object.
  SnapFilesystem2(Filesystem& files, std::unique_ptr<SnapDir> dir);

 private:
  static const SnapDir& Require(const std::unique_ptr<SnapDir>& dir);

  std::unique_ptr<SnapDir> owned_;
};

}  // namespace OST
