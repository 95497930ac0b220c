#define FUSE_USE_VERSION 26
#include "front/ostrelfs.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <fuse.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <exception>
#include <iterator>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "front/bridge_fs.h"
#include "fs/fs_native.h"

namespace OST {

PrivateData* privateData = nullptr;

namespace {

constexpr int kLogFuse = 105;

PrivateData& Data() {
  auto* data = static_cast<PrivateData*>(fuse_get_context()->private_data);
  if (data == nullptr) data = privateData;
  if (data == nullptr || data->bridge == nullptr) OST_THROW(Error(E_FAULT, "FUSE private data is missing"));
  return *data;
}

BridgeFilesystem& Bridge() {
  return *Data().bridge;
}

Path ToPath(const char* path) {
  return Path::FromUtf8(path);
}

// ---- stopping the loop on SIGINT, SIGTERM and SIGHUP ----
//
// FUSE installs its own handlers only once the volume is mounted, so a
// signal in between would end the process with the mount left behind. Ours
// are in place before the mount: a signal before the loop runs is
// remembered and ends the loop as soon as the kernel's first request (init)
// arrives; a later one ends it at once, as FUSE's own handler would. FUSE
// leaves handlers that are not the default alone.

std::atomic<fuse*> runningFuse{nullptr};
volatile sig_atomic_t stopRequested = 0;

void StopHandler(int) {
  stopRequested = 1;
  if (fuse* f = runningFuse.load()) fuse_exit(f);
}

// Installs StopHandler for the stop signals that have their default action
// (an ignored SIGHUP stays ignored) and puts the old actions back at the end.
class StopSignals {
 public:
  StopSignals() {
    stopRequested = 0;
    struct sigaction action {};
    action.sa_handler = StopHandler;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      struct sigaction old {};
      installed_[i] = sigaction(kSignals[i], nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
                      sigaction(kSignals[i], &action, &old_[i]) == 0;
    }
  }
  ~StopSignals() {
    runningFuse = nullptr;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      if (installed_[i]) sigaction(kSignals[i], &old_[i], nullptr);
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[std::size(kSignals)] {};
  bool installed_[std::size(kSignals)] = {};
};

// ---- callbacks ----

void* ostrel_init(fuse_conn_info* conn) {
  OST_LOG(kLogFuse, "");
  conn->want |= FUSE_CAP_ATOMIC_O_TRUNC | FUSE_CAP_BIG_WRITES;
  fuse* f = fuse_get_context()->fuse;
  runningFuse = f;
  if (stopRequested) fuse_exit(f);  // a stop signal came before the loop ran
  return fuse_get_context()->private_data;
}

int ostrel_getattr(const char* path, struct stat* st) {
  OST_LOG(kLogFuse, "path={}", path);
  Stat stat;
  const int result = FuseAnswer(__func__, [&] {
    PrivateData& data = Data();
    stat = data.bridge->GetStat(ToPath(path));
    FillStat(stat, data.uid, data.gid, st);
    return 0;
  });
  if (result == 0) {
    OST_LOG(kLogFuse, "flags={},size={},atime={},mtime={}", Stat::FlagsText(stat.flags), stat.size, stat.atime,
            stat.mtime);
  }
  return result;
}

int ostrel_utimens(const char* path, const timespec tv[2]) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    const Path p = ToPath(path);
    const timespec now{0, UTIME_NOW};
    const timespec& atime = tv ? tv[0] : now;
    const timespec& mtime = tv ? tv[1] : now;
    Stat existing;
    if (atime.tv_nsec == UTIME_OMIT || mtime.tv_nsec == UTIME_OMIT) existing = Bridge().GetStat(p);
    const int64_t current = CurrentTime().value;
    Bridge().SetTimes(p, AccessTime(UtimensSeconds(atime, existing.atime.value, current)),
                      ModifyTime(UtimensSeconds(mtime, existing.mtime.value, current)));
    return 0;
  });
}

int ostrel_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    PrivateData& data = Data();
    const std::vector<Entry> entries = data.bridge->ReadDir(ToPath(path));
    struct stat st {};
    filler(buf, ".", &st, 0);
    filler(buf, "..", &st, 0);
    for (const Entry& entry : entries) {
      FillStat(entry.stat, data.uid, data.gid, &st);
      filler(buf, entry.name.ToString().c_str(), &st, 0);
    }
    return 0;
  });
}

int ostrel_mkdir(const char* path, mode_t mode) {
  OST_LOG(kLogFuse, "path={} mode={}", path, mode);
  return FuseAnswer(__func__, [&] {
    Bridge().MakeDir(ToPath(path));
    return 0;
  });
}

int ostrel_rmdir(const char* path) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    Bridge().RemoveDir(ToPath(path));
    return 0;
  });
}

int ostrel_unlink(const char* path) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    Bridge().Delete(ToPath(path));
    return 0;
  });
}

int ostrel_rename(const char* from, const char* to) {
  OST_LOG(kLogFuse, "from={} to={}", from, to);
  return FuseAnswer(__func__, [&] {
    Bridge().Rename(ToPath(from), ToPath(to), 0);
    return 0;
  });
}

int ostrel_create(const char* path, mode_t mode, fuse_file_info* fi) {
  OST_LOG(kLogFuse, "path={} flags={} mode={}", path, fi->flags, mode);
  const int result = FuseAnswer(__func__, [&] {
    const int oflags = fi->flags & (O_ACCMODE | O_CREAT | O_TRUNC | O_EXCL);
    fi->fh = Bridge().Open(ToPath(path), OstrelMode(oflags), OstrelAccess(oflags), OstrelFlags(mode));
    return 0;
  });
  if (result == 0) OST_LOG(kLogFuse, "path={} fh={}", path, fi->fh);
  return result;
}

int ostrel_open(const char* path, fuse_file_info* fi) {
  return ostrel_create(path, 0, fi);
}

int ostrel_read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  OST_LOG(kLogFuse, "fh={} offset={} size={}", fi->fh, offset, size);
  return FuseAnswer(__func__, [&] {
    return static_cast<int>(Bridge().ReadAt(static_cast<uint32_t>(fi->fh), buf, offset, static_cast<int64_t>(size)));
  });
}

int ostrel_write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  OST_LOG(kLogFuse, "fh={} offset={} size={} ", fi->fh, offset, size);
  return FuseAnswer(__func__, [&] {
    return static_cast<int>(Bridge().WriteAt(static_cast<uint32_t>(fi->fh), buf, offset, static_cast<int64_t>(size)));
  });
}

int ostrel_release(const char*, fuse_file_info* fi) {
  OST_LOG(kLogFuse, "fh={}", fi->fh);
  return FuseAnswer(__func__, [&] {
    Bridge().Close(static_cast<uint32_t>(fi->fh));
    return 0;
  });
}

int ostrel_chmod(const char* path, mode_t mode) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    const Path p = ToPath(path);
    // Directories are always shown as 0755; their bits are left alone.
    if (Bridge().GetStat(p).flags & FLAG_DIR) return 0;
    Bridge().SetFlags(p, OstrelFlags(mode));
    return 0;
  });
}

int ostrel_ftruncate(const char*, off_t size, fuse_file_info* fi) {
  OST_LOG(kLogFuse, "fh={} offset={}", fi->fh, size);
  return FuseAnswer(__func__, [&] {
    Bridge().Trunc(static_cast<uint32_t>(fi->fh), size);
    return 0;
  });
}

// truncate(2) by path reaches here rather than ftruncate: the file is
// opened for writing through the bridge (so ban list, forged names and
// read-only shares apply), truncated and closed.
int ostrel_truncate(const char* path, off_t size) {
  OST_LOG(kLogFuse, "path={} offset={}", path, size);
  return FuseAnswer(__func__, [&] {
    BridgeFilesystem& bridge = Bridge();
    const uint32_t fd = bridge.Open(ToPath(path), File::MODE_OPEN_EXISTING, File::ACCESS_WO, 0);
    try {
      bridge.Trunc(fd, size);
    } catch (const Error&) {
      try {
        bridge.Close(fd);
      } catch (const Error& e) {
        OST_LOG(kLogFuse, "Error: {}", e.FullText(','));
      }
      throw;
    }
    bridge.Close(fd);
    return 0;
  });
}

int ostrel_chown(const char* path, uid_t uid, gid_t gid) {
  OST_LOG(kLogFuse, "path={}", path);
  return FuseAnswer(__func__, [&] {
    const PrivateData& data = Data();
    // Copying tools set the owner they already see; only a real change of
    // owner is refused.
    return ChownKeepsOwner(uid, gid, data.uid, data.gid) ? 0 : -EACCES;
  });
}

int ostrel_setxattr(const char* path, const char*, const char*, size_t, int) {
  OST_LOG(kLogFuse, "path={}", path);
  return 0;
}

int ostrel_removexattr(const char* path, const char*) {
  OST_LOG(kLogFuse, "path={}", path);
  return 0;
}

int ostrel_statfs(const char* path, struct statvfs* sf) {
  OST_LOG(kLogFuse, "path={}", path);
  FillStatfs(sf);
  return 0;
}

fuse_operations MakeOperations() {
  fuse_operations ops{};
  ops.init = ostrel_init;
  ops.getattr = ostrel_getattr;
  ops.utimens = ostrel_utimens;
  ops.readdir = ostrel_readdir;
  ops.mkdir = ostrel_mkdir;
  ops.rmdir = ostrel_rmdir;
  ops.unlink = ostrel_unlink;
  ops.create = ostrel_create;
  ops.open = ostrel_open;
  ops.rename = ostrel_rename;
  ops.read = ostrel_read;
  ops.write = ostrel_write;
  ops.release = ostrel_release;
  ops.chmod = ostrel_chmod;
  ops.ftruncate = ostrel_ftruncate;
  ops.truncate = ostrel_truncate;
  ops.chown = ostrel_chown;
  ops.setxattr = ostrel_setxattr;
  ops.removexattr = ostrel_removexattr;
  ops.statfs = ostrel_statfs;
  ops.flag_utime_omit_ok = 1;
  return ops;
}

}  // namespace

int FuseAnswer(const char* function, const std::function<int()>& work) {
  try {
    return work();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const Error& e) {
    if (LogOn(kLogFuse)) LogDetailedLine(__FILE_NAME__, __LINE__, function, Format("Error: {}", e.FullText(',')));
    return -e.Errno();
  } catch (const std::exception& e) {
    if (LogOn(kLogFuse)) LogDetailedLine(__FILE_NAME__, __LINE__, function, Format("Exception: {}", e.what()));
    return -EIO;
  } catch (...) {
    if (LogOn(kLogFuse)) LogDetailedLine(__FILE_NAME__, __LINE__, function, "Exception: unknown");
    return -EIO;
  }
}

const fuse_operations& OstrelOperations() {
  static const fuse_operations operations = MakeOperations();
  return operations;
}

std::vector<std::string> FuseArgumentsFor(FusePlatform platform, const std::string& program,
                                          const std::string& mountPoint, bool local) try {
  std::vector<std::string> arguments{program, mountPoint, "-f", "-onoatime"};
  if (platform == FUSE_PLATFORM_LINUX) {
    arguments.push_back("-ofsname=Ostrel");
    return arguments;
  }
  if (local) arguments.push_back("-olocal");
  arguments.push_back("-onoappledouble");
  arguments.push_back("-oiosize=131072");
  arguments.push_back("-ofsname=Ostrel");
  arguments.push_back(Format("-ovolname={}", Path::FromUtf8(mountPoint).Last().ToString()));
  arguments.push_back("-omodules=iconv,from_code=UTF-8,to_code=UTF-8-MAC");
  return arguments;
}
OST_TRAIL

std::vector<std::string> FuseArguments(const std::string& program, const std::string& mountPoint, bool local) try {
#ifdef __APPLE__
  return FuseArgumentsFor(FUSE_PLATFORM_MACOS, program, mountPoint, local);
#else
  return FuseArgumentsFor(FUSE_PLATFORM_LINUX, program, mountPoint, local);
#endif
}
OST_TRAIL

int RunFuse(const std::vector<std::string>& arguments, PrivateData& data) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  privateData = &data;
  StopSignals signals;
  const fuse_operations& operations = OstrelOperations();
  const int result =
      fuse_main_real(static_cast<int>(arguments.size()), argv.data(), &operations, sizeof operations, &data);
  privateData = nullptr;
  return result;
}

void FillStat(const Stat& stat, uid_t uid, gid_t gid, struct stat* st) {
  *st = {};
  st->st_mode = NativePermissions(stat.flags);
  st->st_nlink = 1;
  st->st_size = stat.size;
  st->st_mtime = stat.mtime.value;
  st->st_ctime = stat.atime.value;
  st->st_uid = uid;
  st->st_gid = gid;
}

void FillStatfs(struct statvfs* sf) {
  sf->f_bsize = 4096;
  sf->f_frsize = 4096;
  sf->f_blocks = 6979280836;
  sf->f_bfree = 4563361732;
  sf->f_bavail = 4563361732;
  sf->f_files = 436205052;
  sf->f_ffree = 285210108;
  sf->f_fsid = kOstrelFsid;
  sf->f_namemax = 255;
}

int64_t UtimensSeconds(const timespec& requested, int64_t existing, int64_t now) {
  if (requested.tv_nsec == UTIME_NOW) return now;
  if (requested.tv_nsec == UTIME_OMIT) return existing;
  return requested.tv_sec;
}

bool ChownKeepsOwner(uid_t uid, gid_t gid, uid_t shownUid, gid_t shownGid) {
  return (uid == static_cast<uid_t>(-1) || uid == shownUid) && (gid == static_cast<gid_t>(-1) || gid == shownGid);
}

}  // namespace OST
