// The file records and the two interfaces every filesystem layer implements.
//
// Stat is the small record kept about a file, Entry a directory entry, File
// an open file (also a byte stream at its current position), Filesystem the
// nine-operation tree interface that the native, chroot, share, snapshot,
// merge and remote layers implement and the FUSE front end calls. Every
// operation reports failure by throwing Error.
//
// Thread contract: Stat and Entry are plain values. File and Filesystem
// implementations state their own rules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/path.h"
#include "core/stream.h"
#include "core/typed_int.h"

namespace OST {

enum StatFlags : uint32_t {
  FLAG_DIR = 1,
  FLAG_EXE = 2,
  FLAG_WRITE = 4,
};

struct Stat : public virtual Serializable {
  uint32_t flags = FLAG_DIR;  // a directory carries FLAG_DIR alone
  int64_t size = 0;
  AccessTime atime;
  ModifyTime mtime;
  ChangeTime ctime;

  Stat() = default;
  Stat(uint32_t flags, int64_t size, AccessTime atime, ModifyTime mtime, ChangeTime ctime)
      : flags(flags), size(size), atime(atime), mtime(mtime), ctime(ctime) {}
  Stat(const Stat&) = default;
  Stat& operator=(const Stat&) = default;

  bool operator==(const Stat& other) const {
    return flags == other.flags && size == other.size && atime == other.atime && mtime == other.mtime &&
           ctime == other.ctime;
  }

  // "DIR" when FLAG_DIR is set, else "FILE_rwx", "FILE_rox", "FILE_rw" or "FILE_ro".
  static std::string FlagsText(uint32_t flags);

  // Wire form, 36 bytes: flags uint32, then size, atime, mtime, ctime as int64.
  void StoreTo(ByteSink& sink) const override;
  void LoadFrom(ByteSource& source) override;
};

struct Entry : public virtual Serializable {
  Path name;  // one component when it comes from a listing
  Stat stat;

  Entry() = default;
  Entry(Path name, Stat stat) : name(std::move(name)), stat(stat) {}
  Entry(const Entry&) = default;
  Entry& operator=(const Entry&) = default;

  bool operator==(const Entry& other) const { return name == other.name && stat == other.stat; }

  // Wire form: the name's form, then the stat's form.
  void StoreTo(ByteSink& sink) const override;
  void LoadFrom(ByteSource& source) override;
};

// Orders entries by name with Path's <.
bool EntryNameLess(const Entry& a, const Entry& b);

std::string ToString(const Stat& stat);    // "FILE_rw 5"
std::string ToString(const Entry& entry);  // "name FILE_rw 5"

// An open file. Its position is used by the stream operations; the *At
// operations position first.
class File : public virtual ByteSource, public virtual ByteSink {
 public:
  enum Mode : uint8_t {
    MODE_OPEN_EXISTING = 0,
    MODE_TRUNCATE_EXISTING = 1,
    MODE_OPEN_ALWAYS = 2,
    MODE_CREATE_ALWAYS = 3,
    MODE_CREATE_NEW = 4,
  };
  enum Access : uint8_t {
    ACCESS_RO = 0,
    ACCESS_WO = 1,
    ACCESS_RW = 2,
  };
  enum Origin : uint8_t {
    ORIGIN_SET = 0,
    ORIGIN_CUR = 1,
    ORIGIN_END = 2,
  };

  // The constant's name; a value outside the enumeration throws E_INVAL
  // "Unknown file mode" / "Unknown file access" / "Unknown seek origin".
  static std::string ModeText(Mode mode);
  static std::string AccessText(Access access);
  static std::string OriginText(Origin origin);

  // WritevAt(0, ORIGIN_CUR, ...).
  void Writev(const Iovec* iov, int count) override;
  // ReadAt(0, ORIGIN_CUR, ...); the time-out is not used.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;

  // Returns the new position.
  virtual int64_t Seek(int64_t offset, Origin origin) = 0;
  // Positions, then reads at most `size` bytes; 0 at end of file.
  virtual int64_t ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) = 0;
  // Positions, then writes every byte of the elements in order, or throws.
  virtual void WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) = 0;
  virtual void SetTimes(AccessTime atime, ModifyTime mtime) = 0;
  virtual void Trunc(int64_t size) = 0;

  void WriteAt(int64_t offset, Origin origin, const void* data, int64_t size);
};

class Filesystem : public virtual Interface {
 public:
  virtual Stat GetStat(const Path& path) = 0;
  // One entry per child; "." and ".." are never listed.
  virtual std::vector<Entry> ReadDir(const Path& path) = 0;
  virtual void MakeDir(const Path& path) = 0;
  virtual void RemoveDir(const Path& path) = 0;
  // `flags` (FLAG_EXE, FLAG_WRITE) give the permissions of a created file.
  // The caller owns the result.
  virtual std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) = 0;
  virtual void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) = 0;
  // Bit 0 of `flags` asks that an existing target not be replaced; every
  // layer passes `flags` on unchanged.
  static constexpr uint32_t kRenameNoReplace = 1;
  virtual void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) = 0;
  // Removes a file.
  virtual void Delete(const Path& path) = 0;
  // Applies FLAG_EXE and FLAG_WRITE to the file's permissions.
  virtual void SetFlags(const Path& path, uint32_t flags) = 0;
};

}  // namespace OST
