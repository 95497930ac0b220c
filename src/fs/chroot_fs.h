// ChrootFilesystem: one directory of another filesystem shown as a whole
// filesystem, optionally read-only.
//
// Every path is taken relative to a fixed root of the filesystem below
// (root.Join(path)); all other arguments and results pass unchanged. A path
// cannot leave the root because a Path holds no "." or "..". When read-only,
// everything but GetStat, ReadDir and an Open of an existing file for
// reading is refused with E_ACCES "Read only filesystem" before the
// filesystem below is asked, whether or not the path exists. Flags are
// reported as the filesystem below gives them.
//
// Thread contract: no state changes after construction; as safe from any
// thread as the filesystem below.
#pragma once

#include "core/fs.h"
#include "core/interface.h"

namespace OST {

class ChrootFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // Requires: `fs` outlives this object.
  ChrootFilesystem(Filesystem& fs, const Path& root, bool readOnly);

  // Each forwards with root.Join(path); errors below pass through, and
  // E_MFILE "Too many path levels" when the joined path is too deep.
  Stat GetStat(const Path& path) override;
  std::vector<Entry> ReadDir(const Path& path) override;
  // Refused when read-only.
  void MakeDir(const Path& path) override;
  void RemoveDir(const Path& path) override;
  // When read-only, only MODE_OPEN_EXISTING with ACCESS_RO is let through.
  // The caller owns the result.
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  // Refused when read-only.
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  void Delete(const Path& path) override;
  void SetFlags(const Path& path, uint32_t flags) override;

  // Throws the read-only error when the switch is on.
  void CheckReadOnly() const;
  // Throws E_ACCES "Read only filesystem".
  [[noreturn]] static void ThrowReadOnly();

 private:
  // Constant after construction.
  Filesystem& fs_;
  const Path root_;
  const bool readOnly_;
};

}  // namespace OST
