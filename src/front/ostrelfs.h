// The FUSE front end: the operation table whose callbacks (ostrel_*) turn
// kernel file requests into BridgeFilesystem calls, the private data record
// they reach it through, the mount argument vector and the call that runs
// the FUSE loop.
//
// Each callback converts its C arguments (a UTF-8 path to a Path, open
// flags to File::Mode and File::Access, mode bits to Stat flags), calls the
// bridge and answers FUSE: a filled struct stat, a byte count, a file
// handle or 0. A thrown Error becomes its negated errno and is logged as
// "Error: {}" (category 105); any other exception is logged and answered
// with -EIO, so nothing unwinds into the C library. Every callback logs its
// entry in category 105.
//
// Mapping for Linux (libfuse 2.9): the ordinary statfs callback answers
// with the fixed figures (and a name length of 255); truncate by path opens
// the file for writing through the bridge, truncates it and closes it;
// utimens honours UTIME_NOW (the current time) and UTIME_OMIT (the file's
// own time); a chown that asks for the owner and group the volume already
// shows (or -1, "unchanged") succeeds without effect, any other fails with
// EACCES; the macOS-only mount options are left out of the argument vector.
//
// Thread contract: FUSE calls the callbacks from several threads at once;
// they share only the bridge (safe from any thread) and the private data
// record, which is written before FUSE starts and read only afterwards.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/fs.h"

struct fuse_operations;

namespace OST {

class BridgeFilesystem;

// Reachable from every callback through the FUSE context's private data.
struct PrivateData {
  BridgeFilesystem* bridge = nullptr;  // not owned; outlives the FUSE loop
  uid_t uid = 0;                       // shown as the owner of every file
  gid_t gid = 0;
};

// The record of the running FUSE loop (set by RunFuse), null otherwise.
extern PrivateData* privateData;

// The operation table: ostrel_init, getattr, utimens, readdir, mkdir,
// rmdir, unlink, create, open, rename, read, write, release, chmod,
// ftruncate, truncate, chown, setxattr, removexattr and statfs; the flag
// word sets flag_utime_omit_ok only.
const fuse_operations& OstrelOperations();

enum FusePlatform : uint8_t {
  FUSE_PLATFORM_MACOS = 0,
  FUSE_PLATFORM_LINUX = 1,
};

// The mount argument vector: program name, mount point, "-f",
// "-onoatime", then on macOS "-olocal" (when asked for),
// "-onoappledouble", "-oiosize=131072", "-ofsname=Ostrel",
// "-ovolname=<last component of the mount point>" and the iconv module; on
// Linux only "-ofsname=Ostrel" follows, the others do not exist there.
// Throws what Path throws for a macOS mount point that is not a valid path.
std::vector<std::string> FuseArgumentsFor(FusePlatform platform, const std::string& program,
                                          const std::string& mountPoint, bool local);
// The same for the platform this program runs on.
std::vector<std::string> FuseArguments(const std::string& program, const std::string& mountPoint, bool local);

// Points privateData at `data` and runs fuse_main_real with the operation
// table until the volume is unmounted or SIGINT, SIGTERM or SIGHUP ends the
// loop; returns FUSE's result (0 after a normal unmount). The handlers for
// those signals are in place before the volume is mounted (a signal that
// comes before the loop runs ends it at its first request), so a signal
// never leaves a mount behind; the old actions are restored on return.
// Requires: `data.bridge` set; runs on the main thread.
int RunFuse(const std::vector<std::string>& arguments, PrivateData& data);

// ---- pieces of the callbacks, exposed for tests ----

// Runs one callback's work and turns whatever it throws into FUSE's
// answer: an Error into its negated errno (logged as "Error: {}"), any
// other exception into -EIO (logged as "Exception: {}"); thread
// cancellation passes on untouched. Log lines are category 105 under
// `function`'s name.
int FuseAnswer(const char* function, const std::function<int()>& work);

// struct stat for a Stat: all zero, then mode NativePermissions(flags),
// one link, the size, st_mtime = mtime, st_ctime = the access time (not
// st_atime, which stays 0), owner and group uid and gid.
void FillStat(const Stat& stat, uid_t uid, gid_t gid, struct stat* st);
// The fixed figures: block size 4096 (also the fragment size), 6979280836
// blocks, 4563361732 free and available, 436205052 file nodes, 285210108
// free, names of up to 255 bytes, and "OSTL" in the first word of the id.
// Other fields stay as they are.
void FillStatfs(struct statvfs* sf);
inline constexpr unsigned long kOstrelFsid = 0x4F53544C;  // 'O' 'S' 'T' 'L'
// The seconds utimens sets for one requested time: UTIME_NOW gives `now`,
// UTIME_OMIT gives `existing`, anything else its own seconds.
int64_t UtimensSeconds(const timespec& requested, int64_t existing, int64_t now);
// True when a chown asks for nothing but the owner and group already shown
// ((uid_t)-1 and (gid_t)-1 mean unchanged).
bool ChownKeepsOwner(uid_t uid, gid_t gid, uid_t shownUid, gid_t shownGid);

}  // namespace OST
