// Test program: mounts a host directory through the FUSE front end.
//
//   ost_mount_dir [-D categories] hostDirectory mountPoint
//
// The volume's root is a MergeFilesystem2 with the host directory mounted
// twice: writable as "share" and read-only as "ro", each a ChrootFilesystem
// over the native filesystem, reached through a FilesystemLink and behind a
// BridgeFilesystem, as the daemon builds its volume. -D switches on log
// categories (as the daemon's -D does); log lines go to standard output.
// Runs in the foreground until the volume is unmounted or SIGTERM/SIGINT
// arrives, then exits 0 (1 when FUSE failed); an Error ends it with the low
// 8 bits of its code.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/link.h"
#include "core/log.h"
#include "front/bridge_fs.h"
#include "front/ostrelfs.h"
#include "fs/chroot_fs.h"
#include "fs/fs_native.h"
#include "fs/merge_fs.h"

namespace OST {
namespace {

int MountDirectory(const std::string& program, const std::string& hostDirectory, const std::string& mountPoint) try {
  char resolved[4096];
  if (realpath(hostDirectory.c_str(), resolved) == nullptr) {
    OST_THROW(Errno("Could not resolve directory", "realpath").Add("path", hostDirectory));
  }
  const Path root = Path::FromUtf8(resolved);
  NativeFilesystem native;
  ChrootFilesystem share(native, root, false);
  ChrootFilesystem readOnly(native, root, true);
  auto shareLink = std::make_shared<FilesystemLink>(&share);
  auto readOnlyLink = std::make_shared<FilesystemLink>(&readOnly);
  MergeFilesystem2 volume;
  volume.Mount(U"share", shareLink);
  volume.Mount(U"ro", readOnlyLink);
  int result;
  {
    BridgeFilesystem bridge(volume);
    PrivateData data;
    data.bridge = &bridge;
    data.uid = getuid();
    data.gid = getgid();
    result = RunFuse(FuseArguments(program, mountPoint, false), data);
  }
  volume.Umount(U"share");
  volume.Umount(U"ro");
  shareLink->Revoke();
  readOnlyLink->Revoke();
  OST_LOG_ALWAYS("Fuse exited with code {}", result);
  return result == 0 ? 0 : 1;
}
OST_TRAIL

}  // namespace
}  // namespace OST

int main(int argc, char** argv) {
  try {
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "-D") {
      OST::EnableLogCategory(argv[2]);
      first = 3;
    }
    if (argc - first != 2) {
      std::fprintf(stderr, "usage: %s [-D categories] hostDirectory mountPoint\n", argv[0]);
      return 2;
    }
    return OST::MountDirectory(argv[0], argv[first], argv[first + 1]);
  } catch (const OST::Error& e) {
    OST_LOG_ALWAYS("Error: {}", e.FullText(','));
    return static_cast<int>(e.Code() & 0xFF);
  }
}
