#include "fs/fs_native.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"

namespace OST {
namespace {

constexpr int kLogNative = 127;

std::string Decimal(int64_t value) {
  return std::to_string(value);
}

Stat StatFromHost(const struct stat& st) {
  return Stat(OstrelFlags(st.st_mode), st.st_size, AccessTime(st.st_atime), ModifyTime(st.st_mtime),
              ChangeTime(st.st_ctime));
}

[[noreturn]] void ThrowFifo(const std::string& host) {
  OST_THROW(Error(E_ACCES, "FIFO is blacklisted").Add("path", host));
}

bool IsFifo(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Opens the host file. Opening a FIFO for reading would wait for a writer,
// so the open never blocks: the type is checked on the descriptor and
// blocking mode is restored afterwards.
RaiiValue<int> OpenHostFile(const Path& path, File::Mode mode, File::Access access, uint32_t flags) try {
  const int oflags = NativeMode(mode) | NativeAccess(access);
  const std::string host = path.ToUnix8();
  const mode_t permissions = NativePermissions(flags) & 07777;
  const int fd = open(host.c_str(), oflags | O_NONBLOCK | O_CLOEXEC, permissions);
  if (fd < 0) {
    const int failure = errno;
    // A non-blocking open of a FIFO for writing fails with ENXIO while no
    // reader has it open.
    if (failure == ENXIO && IsFifo(host)) ThrowFifo(host);
    OST_THROW(Errno("Could not open file", "open", failure).Add("path", host).Add("flags", Decimal(oflags)));
  }
  RaiiValue<int> owned = OwnedFileId(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) OST_THROW(Errno("Could not get file stat", "fstat").Add("path", host));
  if (S_ISFIFO(st.st_mode)) ThrowFifo(host);
  const int status = fcntl(fd, F_GETFL);
  if (status < 0) OST_THROW(Errno("Could not get file status", "fcntl").Add("path", host));
  if (fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    OST_THROW(Errno("Could not set file status", "fcntl").Add("path", host));
  }
  return owned;
}
OST_TRAIL

}  // namespace

void ReleaseFileId(int fd) try {
  if (close(fd) != 0) OST_THROW(Errno("Failed to close file descriptor", "close"));
}
OST_TRAIL

void ReleaseDirPointer(DIR* dir) try {
  if (closedir(dir) != 0) OST_THROW(Errno("Could not close directory descriptor", "closedir"));
}
OST_TRAIL

RaiiValue<int> OwnedFileId(int fd) {
  return RaiiValue<int>(fd, -1, ReleaseFileId);
}

RaiiValue<DIR*> OwnedDirPointer(DIR* dir) {
  return RaiiValue<DIR*>(dir, nullptr, ReleaseDirPointer);
}

File::Mode OstrelMode(int oflags) try {
  switch (oflags & ~O_ACCMODE) {
    case 0:
      return File::MODE_OPEN_EXISTING;
    case O_TRUNC:
      return File::MODE_TRUNCATE_EXISTING;
    case O_CREAT:
      return File::MODE_OPEN_ALWAYS;
    case O_CREAT | O_TRUNC:
      return File::MODE_CREATE_ALWAYS;
    case O_CREAT | O_EXCL:
      return File::MODE_CREATE_NEW;
  }
  OST_THROW(Error(E_INVAL, "Unknown file mode").Add("oflags", Decimal(oflags)));
}
OST_TRAIL

int NativeMode(File::Mode mode) try {
  switch (mode) {
    case File::MODE_OPEN_EXISTING:
      return 0;
    case File::MODE_TRUNCATE_EXISTING:
      return O_TRUNC;
    case File::MODE_OPEN_ALWAYS:
      return O_CREAT;
    case File::MODE_CREATE_ALWAYS:
      return O_CREAT | O_TRUNC;
    case File::MODE_CREATE_NEW:
      return O_CREAT | O_EXCL;
  }
  OST_THROW(Error(E_INVAL, "Unexpected file mode").Add("mode", Decimal(mode)));
}
OST_TRAIL

File::Access OstrelAccess(int oflags) try {
  switch (oflags & O_ACCMODE) {
    case O_RDONLY:
      return File::ACCESS_RO;
    case O_WRONLY:
      return File::ACCESS_WO;
    case O_RDWR:
      return File::ACCESS_RW;
  }
  OST_THROW(Error(E_INVAL, "Unsupported file access").Add("oflags", Decimal(oflags)));
}
OST_TRAIL

int NativeAccess(File::Access access) try {
  switch (access) {
    case File::ACCESS_RO:
      return O_RDONLY;
    case File::ACCESS_WO:
      return O_WRONLY;
    case File::ACCESS_RW:
      return O_RDWR;
  }
  OST_THROW(Error(E_INVAL, "Unexpected file access").Add("access", Decimal(access)));
}
OST_TRAIL

File::Origin OstrelOrigin(int whence) try {
  switch (whence) {
    case SEEK_SET:
      return File::ORIGIN_SET;
    case SEEK_CUR:
      return File::ORIGIN_CUR;
    case SEEK_END:
      return File::ORIGIN_END;
  }
  OST_THROW(Error(E_INVAL, "Unknown seek whence").Add("whence", Decimal(whence)));
}
OST_TRAIL

int NativeOrigin(File::Origin origin) try {
  switch (origin) {
    case File::ORIGIN_SET:
      return SEEK_SET;
    case File::ORIGIN_CUR:
      return SEEK_CUR;
    case File::ORIGIN_END:
      return SEEK_END;
  }
  OST_THROW(Error(E_INVAL, "Unexpected seek origin").Add("origin", Decimal(origin)));
}
OST_TRAIL

uint32_t OstrelFlags(unsigned mode) {
  if (S_ISDIR(mode)) return FLAG_DIR;
  uint32_t flags = 0;
  if (mode & S_IWUSR) flags |= FLAG_WRITE;
  if (mode & (S_IXUSR | S_IXGRP | S_IXOTH)) flags |= FLAG_EXE;
  return flags;
}

unsigned NativePermissions(uint32_t flags) {
  if (flags & FLAG_DIR) return S_IFDIR | 0755;
  unsigned mode = S_IFREG | 0444;
  if (flags & FLAG_WRITE) mode |= 0200;
  if (flags & FLAG_EXE) mode |= 0111;
  return mode;
}

std::string HostEntryPath(const std::string& directory, const std::string& name) {
  return directory.size() == 1 ? directory + name : directory + "/" + name;
}

NameConverter::NameConverter(const char* toCode, const char* fromCode)
    : descriptor_(iconv_open(toCode, fromCode)), available_(descriptor_ != reinterpret_cast<iconv_t>(-1)) {}

NameConverter::~NameConverter() {
  if (available_) iconv_close(descriptor_);
}

std::string NameConverter::Convert(const std::string& name) {
  if (!available_ || name.empty()) return name;
  std::string out(name.size(), '\0');
  char* in = const_cast<char*>(name.data());
  size_t inLeft = name.size();
  char* to = out.data();
  size_t outLeft = out.size();
  std::lock_guard<std::mutex> lock(mutex_);
  iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  if (iconv(descriptor_, &in, &inLeft, &to, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return name;
  out.resize(out.size() - outLeft);
  return out;
}

std::string ComposeHostName(const std::string& name) {
  // Never destroyed: listings may run on detached threads until the end.
  static NameConverter* const converter = new NameConverter("UTF-8", "UTF-8-MAC");
  return converter->Convert(name);
}

NativeFile::NativeFile(const Path& path, Mode mode, Access access, uint32_t flags) try
    : fd_(OpenHostFile(path, mode, access, flags)) {}
OST_TRAIL

NativeFile::NativeFile(NativeFile&& other) noexcept : fd_(std::move(other.fd_)) {}

int64_t NativeFile::Seek(int64_t offset, Origin origin) try {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const int whence = NativeOrigin(origin);
  const off_t position = lseek(fd_.Get(), offset, whence);
  if (position < 0) OST_THROW(Errno("Could not seek file", "lseek"));
  return position;
}
OST_TRAIL

int64_t NativeFile::ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) try {
  if (size < 0) OST_THROW(Error(E_INVAL, "Invalid read size").Add("size", Decimal(size)));
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (offset != 0 || origin != ORIGIN_CUR) Seek(offset, origin);
  ssize_t count;
  do {
    count = read(fd_.Get(), buffer, static_cast<size_t>(size));
  } while (count < 0 && errno == EINTR);
  if (count < 0) OST_THROW(Errno("Could not read file", "read"));
  return count;
}
OST_TRAIL

void NativeFile::WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) try {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  Seek(offset, origin);
  for (int i = 0; i < count; ++i) {
    const char* data = static_cast<const char*>(iov[i].data);
    int64_t left = iov[i].length;
    while (left > 0) {
      const ssize_t written = write(fd_.Get(), data, static_cast<size_t>(left));
      if (written < 0) {
        if (errno == EINTR) continue;
        OST_THROW(Errno("Could not write file", "write"));
      }
      data += written;
      left -= written;
    }
  }
}
OST_TRAIL

void NativeFile::SetTimes(AccessTime atime, ModifyTime mtime) try {
  const timeval times[2] = {{static_cast<time_t>(atime.value), 0}, {static_cast<time_t>(mtime.value), 0}};
  if (futimes(fd_.Get(), times) != 0) OST_THROW(Errno("Could not set file times", "futimes"));
}
OST_TRAIL

void NativeFile::Trunc(int64_t size) try {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (ftruncate(fd_.Get(), size) != 0) OST_THROW(Errno("Could not truncate file", "truncate"));
}
OST_TRAIL

Stat NativeFilesystem::GetStat(const Path& path) try {
  OST_LOG(kLogNative, "path={}", path);
  const std::string host = path.ToUnix8();
  struct stat st {};
  if (stat(host.c_str(), &st) != 0) OST_THROW(Errno("Could not get file stat", "stat").Add("path", host));
  OST_LOG(kLogNative, "<<");
  return StatFromHost(st);
}
OST_TRAIL

std::vector<Entry> NativeFilesystem::ReadDir(const Path& path) try {
  OST_LOG(kLogNative, "path={}", path);
  const std::string host = path.ToUnix8();
  RaiiValue<DIR*> dir = OwnedDirPointer(opendir(host.c_str()));
  if (!dir.Valid()) OST_THROW(Errno("Could not open directory", "opendir").Add("path", host));
  std::vector<Entry> entries;
  for (;;) {
    errno = 0;
    const dirent* item = readdir(dir.Get());
    if (item == nullptr) break;
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = HostEntryPath(host, name);
    struct stat st {};
    if (stat(full.c_str(), &st) != 0) {
      const int failure = errno;
      // Vanished meanwhile, or a symbolic link that leads nowhere (dangling
      // or looping): not an entry anyone can use.
      if (failure == ENOENT || failure == ELOOP) continue;
      OST_THROW(Errno("Could not get file stat", "stat", failure).Add("path", full));
    }
    if (S_ISFIFO(st.st_mode)) continue;
    const std::string composed = ComposeHostName(name);
    try {
      // A name must stay one component as it is; the path rules would
      // otherwise split it at '\' or shorten a drive-like "C:".
      const std::u32string text = string8to32(composed);
      Path entryName(text);
      if (entryName.Levels() != 1 || entryName.ToString32() != text) continue;
      entries.emplace_back(std::move(entryName), StatFromHost(st));
    } catch (const Error&) {
      // Not valid UTF-8 or not a valid name: such files are not shown.
    }
  }
  if (errno != 0) OST_THROW(Errno("Could not read directory", "readdir").Add("path", path.ToString()));
  dir.Release();
  OST_LOG(kLogNative, "<<");
  return entries;
}
OST_TRAIL

void NativeFilesystem::MakeDir(const Path& path) try {
  OST_LOG(kLogNative, "path={}", path);
  const std::string host = path.ToUnix8();
  if (mkdir(host.c_str(), 0777) != 0) OST_THROW(Errno("Could not create directory", "mkdir").Add("path", host));
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

void NativeFilesystem::RemoveDir(const Path& path) try {
  OST_LOG(kLogNative, "path={}", path);
  const std::string host = path.ToUnix8();
  if (rmdir(host.c_str()) != 0) OST_THROW(Errno("Could not delete directory", "rmdir").Add("path", host));
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

std::unique_ptr<File> NativeFilesystem::Open(const Path& path, File::Mode mode, File::Access access,
                                             uint32_t flags) try {
  OST_LOG(kLogNative, "path={} mode={} access={}", path, File::ModeText(mode), File::AccessText(access));
  return std::make_unique<NativeFile>(path, mode, access, flags);
}
OST_TRAIL

void NativeFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  OST_LOG(kLogNative, "path={} atime={} mtime={}", path, atime, mtime);
  const std::string host = path.ToUnix8();
  const timeval times[2] = {{static_cast<time_t>(atime.value), 0}, {static_cast<time_t>(mtime.value), 0}};
  if (utimes(host.c_str(), times) != 0) OST_THROW(Errno("Could not set file times", "utimes"));
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

void NativeFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  OST_LOG(kLogNative, "oldPaath={} newPath={}", oldPath, newPath);
  const std::string oldHost = oldPath.ToUnix8();
  const std::string newHost = newPath.ToUnix8();
  const bool noReplace = flags & kRenameNoReplace;
  bool placeholder = false;
  int result;
  if (noReplace && !(GetStat(oldPath).flags & FLAG_DIR)) {
    // Claim the target first: an existing one makes this open fail.
    { NativeFile claim(newPath, File::MODE_CREATE_NEW, File::ACCESS_WO, 0); }
    placeholder = true;
    result = rename(oldHost.c_str(), newHost.c_str());
  } else if (noReplace) {
    result = renameat2(AT_FDCWD, oldHost.c_str(), AT_FDCWD, newHost.c_str(), RENAME_NOREPLACE);
    // File systems without the no-replace rename refuse the flag itself.
    if (result != 0 && errno == EINVAL) result = rename(oldHost.c_str(), newHost.c_str());
  } else {
    result = rename(oldHost.c_str(), newHost.c_str());
  }
  if (result != 0) {
    const int failure = errno;
    // Leave no empty file behind where the caller asked for a move.
    if (placeholder) unlink(newHost.c_str());
    OST_THROW(Errno("Could not rename file", "rename", failure).Add("oldPath", oldHost).Add("newPath", newHost));
  }
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

void NativeFilesystem::Delete(const Path& path) try {
  OST_LOG(kLogNative, "path={}", path);
  const std::string host = path.ToUnix8();
  if (unlink(host.c_str()) != 0) OST_THROW(Errno("Could not delete file", "unlink").Add("path", host));
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

void NativeFilesystem::SetFlags(const Path& path, uint32_t flags) try {
  OST_LOG(kLogNative, "path={} flags={}", path, Stat::FlagsText(flags));
  const std::string host = path.ToUnix8();
  struct stat st {};
  if (stat(host.c_str(), &st) != 0) OST_THROW(Errno("Could not get file stat", "stat").Add("path", host));
  mode_t bits = st.st_mode & 07777;
  if (S_ISDIR(st.st_mode) || (flags & FLAG_EXE)) {
    bits |= 0111;
  } else {
    bits &= ~static_cast<mode_t>(0111);
  }
  if (flags & FLAG_WRITE) {
    bits |= 0200;
  } else {
    bits &= ~static_cast<mode_t>(0222);
  }
  if (chmod(host.c_str(), bits) != 0) OST_THROW(Errno("Could not change file mode", "chmod").Add("path", host));
  OST_LOG(kLogNative, "<<");
}
OST_TRAIL

}  // namespace OST
