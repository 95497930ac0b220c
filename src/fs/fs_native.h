// The host's own files behind the Filesystem and File interfaces, and the
// conversions between the host's open flags, seek origins and mode bits and
// the program's File::Mode, File::Access, File::Origin and Stat flags.
//
// A Path names the host path that Path::ToUnix8 gives for it (absolute,
// UTF-8), so a NativeFilesystem sees the whole host tree; ChrootFilesystem
// confines it to one directory. Every failed host call becomes an Error
// through Errno, so the host's errno decides the code.
//
// Thread contract: NativeFilesystem has no state and is safe from any
// thread. A NativeFile is safe from any thread: each operation positions
// and transfers under the file's own lock, so calls that name their own
// offset (FUSE reads ahead several at once) never mix their positions. The
// conversions are pure functions.
#pragma once

#include <dirent.h>
#include <iconv.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/interface.h"
#include "core/raii.h"

namespace OST {

// Release functions for RaiiValue. ReleaseFileId closes a descriptor and
// throws Errno "Failed to close file descriptor" on failure;
// ReleaseDirPointer closes a directory stream and throws Errno "Could not
// close directory descriptor".
void ReleaseFileId(int fd);
void ReleaseDirPointer(DIR* dir);

// An owned descriptor (-1: none) and an owned directory stream (null: none).
RaiiValue<int> OwnedFileId(int fd);
RaiiValue<DIR*> OwnedDirPointer(DIR* dir);

// Open flags without the access-mode bits to a File::Mode: none of O_CREAT,
// O_TRUNC, O_EXCL -> MODE_OPEN_EXISTING; O_TRUNC -> MODE_TRUNCATE_EXISTING;
// O_CREAT -> MODE_OPEN_ALWAYS; O_CREAT|O_TRUNC -> MODE_CREATE_ALWAYS;
// O_CREAT|O_EXCL -> MODE_CREATE_NEW. Any other combination or any other flag
// bit throws E_INVAL "Unknown file mode" (detail `oflags`, decimal).
File::Mode OstrelMode(int oflags);
// The inverse; a value outside the enumeration throws E_INVAL "Unexpected
// file mode" (detail `mode`).
int NativeMode(File::Mode mode);
// The access-mode bits (other bits ignored); both bits set throws E_INVAL
// "Unsupported file access" (detail `oflags`).
File::Access OstrelAccess(int oflags);
// The inverse; E_INVAL "Unexpected file access" (detail `access`).
int NativeAccess(File::Access access);
// SEEK_SET/SEEK_CUR/SEEK_END; anything else throws E_INVAL "Unknown seek
// whence" (detail `whence`).
File::Origin OstrelOrigin(int whence);
// The inverse; E_INVAL "Unexpected seek origin" (detail `origin`).
int NativeOrigin(File::Origin origin);
// Host mode bits to Stat flags: a directory gives FLAG_DIR alone; anything
// else FLAG_WRITE for the owner-write bit (0200) plus FLAG_EXE for any
// execute bit (0111). Never fails.
uint32_t OstrelFlags(unsigned mode);
// Stat flags to host mode bits: FLAG_DIR gives a directory with 0755;
// otherwise a regular file with 0444, plus 0200 for FLAG_WRITE and 0111 for
// FLAG_EXE. Never fails.
unsigned NativePermissions(uint32_t flags);

// The host path of one entry of a listed directory: the directory's host
// path, a '/' unless that path is the root "/", then the name.
std::string HostEntryPath(const std::string& directory, const std::string& name);

// Converts entry names between two character sets with one iconv descriptor
// shared by all threads (calls are serialised). When the descriptor cannot
// be opened every name passes unchanged. The output may hold as many bytes
// as the input; a name that does not convert whole within that passes
// unchanged.
//
// Thread contract: safe from any thread.
class NameConverter : public NonCopyable {
 public:
  NameConverter(const char* toCode, const char* fromCode);
  ~NameConverter();

  // True when the descriptor was opened.
  bool Available() const { return available_; }
  std::string Convert(const std::string& name);

 private:
  // Constant after construction.
  iconv_t descriptor_;
  bool available_;
  // Serialises every use of descriptor_ (its conversion state is shared).
  std::mutex mutex_;
};

// The name of a listed entry in composed Unicode form: hosts that store
// names decomposed list them through the "UTF-8-MAC" converter; where the C
// library has no such converter (glibc) names are used as the host gives
// them. The converter is opened on first use and kept for the life of the
// process.
std::string ComposeHostName(const std::string& name);

// An open host file; the descriptor's own offset is the position. Closing
// happens on destruction (a failure there is logged, never thrown).
// Seek, ReadAt, WritevAt and Trunc hold the file's lock, so a seek and the
// transfer that follows it happen together.
class NativeFile : public NonCopyable, public virtual File {
 public:
  // Opens path.ToUnix8() with NativeMode(mode) | NativeAccess(access);
  // `flags` (Stat flags) give the permissions of a created file through
  // NativePermissions. Throws what the conversions throw, Errno "Could not
  // open file" (details `path`, `flags`), Errno "Could not get file stat"
  // (detail `path`) and E_ACCES "FIFO is blacklisted" (detail `path`). A
  // FIFO is refused without ever waiting for its other end.
  NativeFile(const Path& path, Mode mode, Access access, uint32_t flags);
  // Takes over the descriptor; `other` is left without one.
  NativeFile(NativeFile&& other) noexcept;

  // lseek; throws Errno "Could not seek file".
  int64_t Seek(int64_t offset, Origin origin) override;
  // Seeks (except for offset 0 from ORIGIN_CUR), then one read of up to
  // `size` bytes; returns its count, 0 at end of file. Throws Errno "Could
  // not read file"; a negative size throws E_INVAL "Invalid read size".
  // Requires: `buffer` holds `size` bytes.
  int64_t ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) override;
  // Always seeks, then writes every byte of every element (elements of
  // length 0 or less are skipped). Throws Errno "Could not write file";
  // bytes already written stay written.
  void WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) override;
  // futimes with whole seconds; throws Errno "Could not set file times".
  void SetTimes(AccessTime atime, ModifyTime mtime) override;
  // ftruncate; throws Errno "Could not truncate file".
  void Trunc(int64_t size) override;
  // Nothing to do: writes have reached the host when WritevAt returns.
  void Flush() override {}
  void Stop() override {}

 private:
  // Recursive: ReadAt and WritevAt position through the virtual Seek.
  std::recursive_mutex lock_;
  RaiiValue<int> fd_;  // the descriptor's offset is protected by lock_
};

// The whole host tree. Each operation logs its arguments on entry (category
// 127) and all but Open log "<<" when they succeed.
class NativeFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  // stat (links followed); throws Errno "Could not get file stat" (detail
  // `path`). FIFOs are not refused here.
  Stat GetStat(const Path& path) override;
  // The children in host order, without ".", "..", FIFOs and entries that
  // vanish or point nowhere (dangling or looping symbolic links); names that
  // are not valid UTF-8 or not valid path components are left out. Throws
  // Errno "Could not open directory", "Could not get file stat", "Could not
  // read directory", "Could not close directory descriptor". A failure
  // returns nothing.
  std::vector<Entry> ReadDir(const Path& path) override;
  // mkdir with 0777 (the umask applies); Errno "Could not create directory".
  void MakeDir(const Path& path) override;
  // Errno "Could not delete directory".
  void RemoveDir(const Path& path) override;
  // A new NativeFile; the caller owns it.
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override;
  // utimes with whole seconds; Errno "Could not set file times".
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override;
  // rename. With kRenameNoReplace an existing target is never replaced: a
  // file source first creates the target exclusively (an existing target
  // fails with that open's error, E_EXIST "Could not open file"), and the
  // placeholder is removed again if the rename then fails; a directory
  // source is moved with the host's no-replace rename where the host file
  // system has it. Errno "Could not rename file" (details `oldPath`,
  // `newPath`).
  void Rename(const Path& oldPath, const Path& newPath, uint32_t flags) override;
  // unlink; Errno "Could not delete file".
  void Delete(const Path& path) override;
  // Execute bits: all three set for a directory or FLAG_EXE, else all
  // cleared. Write bits: FLAG_WRITE sets the owner's only, its absence
  // clears all three. Other bits stay. Errno "Could not get file stat",
  // "Could not change file mode".
  void SetFlags(const Path& path, uint32_t flags) override;
};

}  // namespace OST
