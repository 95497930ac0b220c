#include "util/mount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace OST::testutil {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

bool FuseAvailable() {
  struct stat st {};
  return stat("/dev/fuse", &st) == 0 && S_ISCHR(st.st_mode);
}

bool IsMountPoint(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // Fields: mount id, parent id, major:minor, root, mount point, ...
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point == path) return true;
  }
  return false;
}

MountedProgram::MountedProgram(const Arguments& arguments, const std::string& cwd) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-mount-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  mountPoint_ = std::filesystem::canonical(pattern).string();
  outputPath_ = work_.path() + "/output.log";
  const std::vector<std::string> argv = arguments(mountPoint_);
  // Built before fork: the child may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string outputPath = outputPath_;
  const pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Should the test process die, the program is told to end (FUSE
    // unmounts on SIGTERM).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(125);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) _exit(124);
    dup2(out, 1);
    dup2(out, 2);
    close(out);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
}

MountedProgram::~MountedProgram() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove(mountPoint_, ignored);
  if (::testing::Test::HasFailure()) {
    std::cerr << "---- output of the mounted program (pid " << pid_ << ") ----\n"
              << Output() << "---- end of output ----\n";
  }
}

bool MountedProgram::Running() {
  if (exited_) return false;
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exited_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

bool MountedProgram::WaitForMount(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Mounted()) return true;
    if (!Running()) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool MountedProgram::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

void MountedProgram::Unmount() {
  if (!Mounted()) return;
  RunShell("fusermount -u " + Quoted(mountPoint_) + " 2>&1", "", 20);
  if (!Mounted()) return;
  // Busy or hung: detach it now; the kernel finishes once nothing uses it.
  RunShell("fusermount -u -z " + Quoted(mountPoint_) + " 2>&1", "", 20);
  if (!Mounted()) return;
  RunShell("umount -l " + Quoted(mountPoint_) + " 2>&1", "", 20);
}

int MountedProgram::Stop() {
  if (pid_ <= 0) return exitStatus_;
  Unmount();
  // After the unmount a FUSE program leaves its loop by itself.
  if (!WaitForExit(std::chrono::seconds(15))) {
    kill(pid_, SIGTERM);
    if (!WaitForExit(std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      WaitForExit(std::chrono::seconds(30));
    }
  }
  // SIGTERM may have come before the program mounted; nothing may stay.
  Unmount();
  return exitStatus_;
}

std::string MountedProgram::Output() const {
  std::ifstream in(outputPath_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace OST::testutil
