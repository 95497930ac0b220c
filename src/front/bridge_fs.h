// BridgeFilesystem: what sits between the FUSE callbacks and the root
// filesystem of the volume.
//
// It keeps the table of open descriptors, hides the names that desktop
// systems litter on volumes (the ban list: every operation on such a name
// fails with E_ACCES "File is blacklisted", listings leave them out),
// answers for three marker files it never stores (forged names: an empty
// read-only file whose descriptor cannot be read, written or truncated),
// and postpones plain read-only opens until the first read, write or
// truncation, so that the many opens made only to look at a file cost
// nothing.
//
// Descriptors: 1..255 for files (postponed or open), 257..511 for forged
// files. A number is in exactly one of: the postponed table; the file and
// link tables together; the forged range. Open files are reached through a
// FileLink, which Close revokes, so I/O in flight finishes first and later
// I/O fails with E_BADF "Object doesn't exist".
//
// Path operations log their entry in category 102; bridge events (banned
// paths, forged and postponed descriptors, opens and closes) in 103.
//
// Thread contract: safe from any thread. lock_ guards the file, link and
// postponed tables and is held while a postponed file is opened on first
// use and while Close revokes a link (so Close waits for I/O in flight on
// that descriptor). Reads, writes and truncations of open files run outside
// lock_. Each DescriptorStorage has its own mutex, taken after lock_ where
// both are held. The ban list and forged names are read only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/interface.h"
#include "core/link.h"
#include "front/fd_storage.h"

namespace OST {

// Wildcard match of null-terminated UTF-32 strings: '?' matches any one
// character (not the end), '*' any run, including an empty one; every other
// pattern character must equal the text character.
bool Match(const char32_t* text, const char32_t* pattern);

class BridgeFilesystem : public NonCopyable {
 public:
  static constexpr uint32_t kFirstDescriptor = 1;
  static constexpr uint32_t kDescriptorLimit = 256;
  static constexpr uint32_t kFirstForgedDescriptor = 257;
  static constexpr uint32_t kForgedDescriptorLimit = 512;

  // Requires: `fs` outlives the bridge.
  explicit BridgeFilesystem(Filesystem& fs);
  // Revokes every link still handed out, then closes the files still open.
  ~BridgeFilesystem();

  // A forged name gives a read-only empty file with all times 0 without
  // asking the filesystem. Throws the ban-list error and what fs throws.
  Stat GetStat(const Path& path);
  // fs's listing without banned names, in fs's order.
  std::vector<Entry> ReadDir(const Path& path);
  // Each: ban-list check, then the same call on fs.
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime);
  void MakeDir(const Path& path);
  void RemoveDir(const Path& path);
  void Delete(const Path& path);
  // Both paths are checked against the ban list.
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags);
  void SetFlags(const Path& path, uint32_t flags);

  // Returns a descriptor number. Forged names get a forged number and no
  // file. A read-only open of an existing file (MODE_OPEN_EXISTING) only
  // checks that the file exists (GetStat) and postpones the open; every
  // other open (writable, or one that creates or truncates) happens now.
  // Throws the ban-list error, what fs throws, E_MFILE "Too many open
  // files" (a file opened for it is closed again), E_INVAL "Postponed
  // descriptor already exists" / "Opened descriptor already exists"
  // (detail `fd`).
  uint32_t Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags);
  // Releases the number: a forged one at once, a postponed one without
  // ever opening the file, an open one after revoking its link and closing
  // the file. Throws E_BADF "Bad file descriptor" (detail `fd`) for a number
  // not in use.
  void Close(uint32_t fd);
  // Reads until `size` bytes or the end of the file; returns the total.
  // Requires: `buffer` holds `size` bytes.
  int64_t ReadAt(uint32_t fd, void* buffer, int64_t offset, int64_t size);
  // Writes all `size` bytes at `offset`; returns `size`.
  int64_t WriteAt(uint32_t fd, const void* data, int64_t offset, int64_t size);
  void Trunc(uint32_t fd, int64_t size);
  void SetTimes(uint32_t fd, AccessTime atime, ModifyTime mtime);
  // The descriptor I/O above throws E_ACCES "File descriptor access is
  // forbidden" (detail `fd`) for forged numbers, E_BADF "Bad file
  // descriptor" for numbers not in use, and the error of a postponed open
  // that fails now (the number stays postponed, so a retry opens again).

  // The link of an open file, opening a postponed one first (under lock_).
  // The link is shared with the bridge; it fails once the file is closed.
  std::shared_ptr<FileLink> GetFile(uint32_t fd);
  // Throws "File descriptor access is forbidden" for 257..512.
  static void CheckFakeDescriptor(uint32_t fd);
  // True when the last component, with a-z upper-cased (ASCII only),
  // matches a ban-list pattern. The root never matches.
  bool ExistsInBanList(const Path& path) const;
  // Logs "Banned path={}" and throws E_ACCES "File is blacklisted" (detail
  // `path`) for a banned path.
  void CheckBanList(const Path& path) const;

 private:
  struct OpenParams {
    Path path;
    File::Mode mode;
    File::Access access;
    uint32_t flags;
  };

  static bool IsForgedDescriptor(uint32_t fd);
  bool IsForgedName(const Path& path) const;
  // Requires: lock_ held.
  std::shared_ptr<FileLink> StoreOpenedFile(std::unique_ptr<File> file, uint32_t fd);

  // Constant after construction.
  const std::set<std::u32string> banList_;
  const std::set<Path> forgedNames_;
  Filesystem& fs_;

  DescriptorStorage descriptors_;
  DescriptorStorage forgedDescriptors_;

  // Lock order: lock_, then a DescriptorStorage's own mutex, then a link's.
  std::mutex lock_;
  std::map<uint32_t, std::unique_ptr<File>> files_;      // protected by lock_
  std::map<uint32_t, std::shared_ptr<FileLink>> links_;  // protected by lock_
  std::map<uint32_t, OpenParams> postponed_;             // protected by lock_
};

}  // namespace OST
