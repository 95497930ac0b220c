// Starting a program that mounts a FUSE volume, waiting for the mount, and
// always taking it down again.
//
// MountedProgram makes a fresh, empty mount point, starts the program with
// the arguments built for that mount point (its standard output and error
// go to a file), and on destruction unmounts (fusermount -u, falling back
// to a lazy unmount), ends the process by its PID (SIGTERM, then SIGKILL,
// each wait bounded) and removes the mount point; when the running test has
// failed it prints the program's output. The program also receives SIGTERM
// should the test process die first. Nothing here knows which program it
// runs: the test mount program and the daemon are started the same way.
//
// Thread contract: one thread at a time (the test's main thread).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "util/process.h"

namespace OST::testutil {

// True when the FUSE device /dev/fuse exists; tests that mount skip with a
// clear message otherwise (and fail, rather than skip, when it exists but
// mounting does not work).
bool FuseAvailable();

// True when `path` (absolute, canonical) is a mount point of this process's
// mount namespace, as /proc/self/mountinfo lists it.
bool IsMountPoint(const std::string& path);

class MountedProgram {
 public:
  using Arguments = std::function<std::vector<std::string>(const std::string& mountPoint)>;

  // Makes the mount point and starts argv = arguments(mountPoint) (argv[0]
  // a path) in `cwd` (unchanged when empty). Throws std::runtime_error when
  // the process cannot be started.
  explicit MountedProgram(const Arguments& arguments, const std::string& cwd = "");
  ~MountedProgram();
  MountedProgram(const MountedProgram&) = delete;
  MountedProgram& operator=(const MountedProgram&) = delete;

  // Waits at most `timeout` until the mount point is mounted. False when
  // the program exited first or the time ran out.
  bool WaitForMount(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Unmounts and waits (bounded) for the program to end; returns its exit
  // status (128 + signal when it had to be killed). Safe to call twice.
  int Stop();

  bool Mounted() const { return IsMountPoint(mountPoint_); }
  bool Running();
  const std::string& MountPoint() const { return mountPoint_; }
  pid_t Pid() const { return pid_; }
  // Everything the program wrote so far.
  std::string Output() const;

 private:
  void Unmount();
  // Waits at most `timeout` for the process to end; true when it has.
  bool WaitForExit(std::chrono::milliseconds timeout);

  TempDir work_;  // holds the output file
  std::string mountPoint_;
  std::string outputPath_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  bool exited_ = false;
};

}  // namespace OST::testutil
