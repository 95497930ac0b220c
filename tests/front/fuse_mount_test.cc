// End to end: a host directory mounted through the FUSE front end (the
// ost_mount_dir program), driven with everyday tools and, where tools cannot
// show it, with system calls from this process.
//
// The volume shows the host directory twice: writable under "share" and
// read-only under "ro". Every test mounts a fresh volume and unmounts it and
// stops the program afterwards, also when it fails.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "util/mount.h"
#include "util/process.h"

namespace OST {
namespace {

using testutil::ReadHostFile;

using ::testing::HasSubstr;
using testutil::ProcessResult;
using testutil::RunShell;

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

uint32_t Seed() {
  return static_cast<uint32_t>(::testing::UnitTest::GetInstance()->random_seed());
}

struct stat HostStat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return st;
}

void SetHostTimes(const std::string& path, time_t atime, time_t mtime) {
  const timeval times[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

class FuseMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::FuseAvailable()) {
      GTEST_SKIP() << "/dev/fuse is missing: FUSE volumes cannot be mounted on this machine";
    }
    mount_ = std::make_unique<testutil::MountedProgram>([this](const std::string& mountPoint) {
      return std::vector<std::string>{MOUNT_DIR_PATH, "-D", "103", host_.path(), mountPoint};
    });
    ASSERT_TRUE(mount_->WaitForMount()) << "the volume was not mounted";
    volume_ = mount_->MountPoint();
    share_ = volume_ + "/share";
    ro_ = volume_ + "/ro";
  }

  void TearDown() override {
    if (mount_) {
      EXPECT_EQ(mount_->Stop(), 0) << "the mount program did not end cleanly after the unmount";
    }
  }

  // Host paths: the shared directory itself and a scratch directory outside
  // the volume.
  std::string Host(const std::string& name) const { return host_.path() + "/" + name; }
  std::string Scratch(const std::string& name) const { return scratch_.path() + "/" + name; }
  std::string Share(const std::string& name) const { return share_ + "/" + name; }

  // Runs a script in the shared directory as seen through the volume.
  ProcessResult Sh(const std::string& script) { return RunShell(script + " 2>&1", share_, 300); }

  // Waits (bounded) until the program's output holds `text` `times` times.
  bool WaitForOutput(const std::string& text, int times) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::string output = mount_->Output();
      int found = 0;
      for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++found;
      if (found >= times) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  testutil::TempDir host_;
  testutil::TempDir scratch_;
  std::unique_ptr<testutil::MountedProgram> mount_;
  std::string volume_, share_, ro_;
};

TEST_F(FuseMountTest, ListingShowsDirectoriesAs0755AndFileModesByFlags) {
  const std::pair<const char*, mode_t> files[] = {{"rw600", 0600}, {"ro444", 0444}, {"exe755", 0755},
                                                  {"rx500", 0500}, {"rw640", 0640}, {"none000", 0000}};
  for (const auto& [name, mode] : files) {
    host_.WriteFile(name, "12345");
    ASSERT_EQ(chmod(Host(name).c_str(), mode), 0);
  }
  ASSERT_EQ(mkdir(Host("dir700").c_str(), 0700), 0);

  const auto listing = Sh("ls -ln");
  ASSERT_EQ(listing.exitStatus, 0) << listing.output;
  std::map<std::string, std::string> modes;
  std::istringstream lines(listing.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string mode, links, uid, gid, size, month, day, time, name;
    if (!(fields >> mode >> links >> uid >> gid >> size >> month >> day >> time >> name)) continue;
    modes[name] = mode;
    EXPECT_EQ(uid, std::to_string(getuid())) << line;
    EXPECT_EQ(gid, std::to_string(getgid())) << line;
  }
  const std::map<std::string, std::string> expected = {
      {"rw600", "-rw-r--r--"}, {"ro444", "-r--r--r--"},   {"exe755", "-rwxr-xr-x"}, {"rx500", "-r-xr-xr-x"},
      {"rw640", "-rw-r--r--"}, {"none000", "-r--r--r--"}, {"dir700", "drwxr-xr-x"}};
  EXPECT_EQ(modes, expected) << listing.output;

  const auto root = RunShell("ls -l " + Quoted(volume_));
  EXPECT_THAT(root.output, ::testing::ContainsRegex("drwxr-xr-x .* ro\n"));
  EXPECT_THAT(root.output, ::testing::ContainsRegex("drwxr-xr-x .* share\n"));
}

TEST_F(FuseMountTest, StatShowsTheAccessTimeAsStatusChangeTime) {
  host_.WriteFile("f", "x");
  SetHostTimes(Host("f"), 1000000000, 1200000000);
  struct stat st {};
  ASSERT_EQ(stat(Share("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_ctime, 1000000000);
  EXPECT_EQ(st.st_mtime, 1200000000);
  EXPECT_EQ(st.st_atime, 0);
  EXPECT_EQ(Sh("stat -c '%X %Y %Z' f").output, "0 1200000000 1000000000\n");
}

TEST_F(FuseMountTest, TouchChangesOnlyTheTimesItAsksFor) {
  host_.WriteFile("f", "x");
  SetHostTimes(Host("f"), 1000, 2000);
  auto result = Sh("touch -a -d @1000000000 f");
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(HostStat(Host("f")).st_atime, 1000000000);
  EXPECT_EQ(HostStat(Host("f")).st_mtime, 2000);

  result = Sh("touch -m -d @1100000000 f");
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(HostStat(Host("f")).st_atime, 1000000000);
  EXPECT_EQ(HostStat(Host("f")).st_mtime, 1100000000);

  const time_t before = time(nullptr);
  result = Sh("touch f");
  const time_t after = time(nullptr);
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_GE(HostStat(Host("f")).st_mtime, before);
  EXPECT_LE(HostStat(Host("f")).st_mtime, after);
  EXPECT_GE(HostStat(Host("f")).st_atime, before);
}

TEST_F(FuseMountTest, LargeFilesRoundTripByteForByteWithCatCpAndDd) {
  const std::string data = RandomBytes(8 * 1024 * 1024 + 12345, Seed());
  {
    std::ofstream out(Scratch("src"), std::ios::binary);
    out << data;
  }
  const std::string src = Quoted(Scratch("src"));
  const auto result =
      Sh("set -e\n"
         "cp " +
         src +
         " copy\n"
         "cmp " +
         src +
         " copy\n"
         "cat copy > " +
         Quoted(Scratch("cat")) +
         "\n"
         "dd if=" +
         src +
         " of=dd bs=1M status=none\n"
         "dd if=dd of=" +
         Quoted(Scratch("dd")) +
         " bs=65536 status=none\n"
         "dd if=" +
         src + " of=odd bs=7777 status=none\n");
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_TRUE(ReadHostFile(Host("copy")) == data);
  EXPECT_TRUE(ReadHostFile(Scratch("cat")) == data);
  EXPECT_TRUE(ReadHostFile(Host("dd")) == data);
  EXPECT_TRUE(ReadHostFile(Scratch("dd")) == data);
  EXPECT_TRUE(ReadHostFile(Host("odd")) == data);
}

TEST_F(FuseMountTest, CreateTruncateRenameUnlinkMkdirRmdir) {
  const auto result =
      Sh("set -e\n"
         "mkdir d\n"
         "printf hello > d/f\n"
         "mv d/f d/g\n"
         "test ! -e d/f\n"
         "[ \"$(cat d/g)\" = hello ]\n"
         "truncate -s 3 d/g\n"
         "[ \"$(cat d/g)\" = hel ]\n"
         "truncate -s 10 d/g\n"
         "[ \"$(stat -c %s d/g)\" = 10 ]\n"
         "printf abc > d/h\n"
         "mv -f d/h d/g\n"
         "[ \"$(cat d/g)\" = abc ]\n"
         "printf more >> d/g\n"
         "[ \"$(cat d/g)\" = abcmore ]\n"
         "mkdir d/e\n"
         "! rmdir d 2>/dev/null\n"
         "rm d/g\n"
         "rmdir d/e d\n"
         "test ! -e d\n");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_FALSE(std::filesystem::exists(Host("d")));

  // The volume's own levels cannot change.
  EXPECT_NE(RunShell("mkdir " + Quoted(volume_ + "/top")).exitStatus, 0);
  EXPECT_NE(RunShell("rmdir " + Quoted(share_)).exitStatus, 0);
  EXPECT_EQ(mkdir((volume_ + "/top").c_str(), 0755), -1);
  EXPECT_EQ(errno, EACCES);
  host_.WriteFile("x", "x");
  EXPECT_EQ(rename(Share("x").c_str(), (ro_ + "/y").c_str()), -1);
  EXPECT_EQ(errno, EXDEV);
}

TEST_F(FuseMountTest, ReadOnlyOpenThatCreatesMakesTheFile) {
  // Lock-file style: open for reading with O_CREAT and close without I/O.
  const int fd = open(Share("lock").c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  close(fd);
  EXPECT_TRUE(std::filesystem::exists(Host("lock")));
  const auto result = Sh("flock lock true");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
}

TEST_F(FuseMountTest, ChmodSetsExecuteAndWriteFlags) {
  host_.WriteFile("f", "x");
  ASSERT_EQ(chmod(Host("f").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(Host("d").c_str(), 0700), 0);
  struct Step {
    const char* command;
    mode_t host;
    const char* shown;
  };
  const Step steps[] = {
      {"chmod +x f", 0755, "-rwxr-xr-x"},
      {"chmod -w f", 0555, "-r-xr-xr-x"},
      {"chmod 600 f", 0644, "-rw-r--r--"},
      {"chmod 0 f", 0444, "-r--r--r--"},
  };
  for (const Step& step : steps) {
    const auto result = Sh(std::string(step.command) + " && stat -c %A f");
    ASSERT_EQ(result.exitStatus, 0) << step.command << ": " << result.output;
    EXPECT_EQ(result.output, std::string(step.shown) + "\n") << step.command;
    EXPECT_EQ(HostStat(Host("f")).st_mode & 07777, step.host) << step.command;
  }
  const auto dir = Sh("chmod 0 d && stat -c %A d");
  EXPECT_EQ(dir.exitStatus, 0) << dir.output;
  EXPECT_EQ(dir.output, "drwxr-xr-x\n");
  EXPECT_EQ(HostStat(Host("d")).st_mode & 07777, 0700u);  // directories are left alone
}

TEST_F(FuseMountTest, ChownSucceedsOnlyForTheOwnerAlreadyShown) {
  host_.WriteFile("f", "x");
  const std::string owner = std::to_string(getuid()) + ":" + std::to_string(getgid());
  auto result = Sh("chown " + owner + " f");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  result = Sh("chown 4321 f");
  EXPECT_NE(result.exitStatus, 0);
  EXPECT_THAT(result.output, HasSubstr("Permission denied"));
  result = Sh("chgrp 4321 f");
  EXPECT_NE(result.exitStatus, 0);

  EXPECT_EQ(chown(Share("f").c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(chown(Share("f").c_str(), getuid(), static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(chown(Share("f").c_str(), getuid(), getgid() + 1), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(HostStat(Host("f")).st_uid, getuid());
}

TEST_F(FuseMountTest, TruncateByPathAndByTool) {
  host_.WriteFile("f", "0123456789");
  EXPECT_EQ(truncate(Share("f").c_str(), 5), 0) << std::strerror(errno);
  EXPECT_EQ(ReadHostFile(Host("f")), "01234");
  EXPECT_EQ(truncate(Share("f").c_str(), 8), 0);
  EXPECT_EQ(ReadHostFile(Host("f")), std::string("01234\0\0\0", 8));
  const auto result = Sh("truncate -s 2 f");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(ReadHostFile(Host("f")), "01");

  struct Refused {
    std::string path;
    int error;
  };
  const Refused refused[] = {{ro_ + "/f", EACCES},
                             {Share("missing"), ENOENT},
                             {Share(".ql_disablecache"), EACCES},
                             {Share(".DS_Store"), EACCES}};
  for (const Refused& r : refused) {
    EXPECT_EQ(truncate(r.path.c_str(), 0), -1) << r.path;
    EXPECT_EQ(errno, r.error) << r.path;
  }
  EXPECT_EQ(ReadHostFile(Host("f")), "01");
}

TEST_F(FuseMountTest, StatfsFiguresAndNameMax) {
  EXPECT_EQ(Sh("getconf NAME_MAX .").output, "255\n");
  EXPECT_EQ(RunShell("stat -f -c '%S %b %f %a %c %d %l' " + Quoted(volume_)).output,
            "4096 6979280836 4563361732 4563361732 436205052 285210108 255\n");
  EXPECT_EQ(Sh("df --output=size -B 4096 . | tail -1 | tr -d ' '").output, "6979280836\n");
}

TEST_F(FuseMountTest, CopyingToolsCarryATreeWithMixedModesIntact) {
  const std::string src = Scratch("src");
  struct Item {
    const char* name;
    mode_t mode;  // 0 for a directory
    const char* content;
  };
  const Item items[] = {
      {"top.txt", 0644, "top"},
      {"run.sh", 0755, "#!/bin/sh\necho run\n"},
      {"readonly.txt", 0444, "ro"},
      {"private", 0600, "secret"},
      {"empty", 0644, ""},
      {"sub", 0, nullptr},
      {"sub/inner", 0640, "inner"},
      {"sub/deeper", 0, nullptr},
      {"sub/deeper/tool", 0700, "x"},
      {"sub/deeper/with space.txt", 0664, "space"},
  };
  std::filesystem::create_directory(src);
  time_t stamp = 1300000000;
  for (const Item& item : items) {
    const std::string path = src + "/" + item.name;
    if (item.mode == 0) {
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
      continue;
    }
    std::ofstream(path, std::ios::binary) << item.content;
    ASSERT_EQ(chmod(path.c_str(), item.mode), 0);
    SetHostTimes(path, stamp, stamp);
    stamp += 1000;
  }
  const std::string q = Quoted(src);
  struct Tool {
    const char* target;
    std::string script;
  };
  const Tool tools[] = {
      {"cp", "cp -a " + q + " cp"},
      {"tar", "tar -C " + q + " -cf " + Quoted(Scratch("tree.tar")) + " . && mkdir tar && tar -C tar -xf " +
                  Quoted(Scratch("tree.tar"))},
      {"rsync", "rsync -a " + q + "/ rsync/"},
  };
  for (const Tool& tool : tools) {
    SCOPED_TRACE(tool.target);
    const auto copied = Sh(tool.script);
    ASSERT_EQ(copied.exitStatus, 0) << copied.output;
    const auto diff = Sh("diff -r " + q + " " + tool.target);
    EXPECT_EQ(diff.exitStatus, 0) << diff.output;
    for (const Item& item : items) {
      if (item.mode == 0) continue;
      const struct stat from = HostStat(src + "/" + item.name);
      const struct stat to = HostStat(Host(std::string(tool.target) + "/" + item.name));
      EXPECT_EQ((to.st_mode & 0111) != 0, (from.st_mode & 0111) != 0) << item.name;
      EXPECT_EQ((to.st_mode & 0200) != 0, (from.st_mode & 0200) != 0) << item.name;
      EXPECT_EQ(to.st_mtime, from.st_mtime) << item.name;
    }
  }
}

TEST_F(FuseMountTest, ExtendedAttributesAreAcceptedAndIgnored) {
  host_.WriteFile("f", "x");
  auto result = Sh("setfattr -n user.comment -v hello f");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  result = Sh("setfattr -x user.comment f");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
}

TEST_F(FuseMountTest, DesktopLitterIsRefusedAndHidden) {
  host_.WriteFile(".DS_Store", "finder");
  std::filesystem::create_directory(Host(".Spotlight-V100"));
  host_.WriteFile("visible", "");
  const auto listing = Sh("ls -a");
  EXPECT_EQ(listing.output, ".\n..\nvisible\n");

  for (const char* name : {".DS_Store", ".ds_store", ".Spotlight-V100"}) {
    struct stat st {};
    EXPECT_EQ(stat(Share(name).c_str(), &st), -1) << name;
    EXPECT_EQ(errno, EACCES) << name;
  }
  const auto touch = Sh("touch sub.txt .DS_Store");
  EXPECT_NE(touch.exitStatus, 0);
  EXPECT_THAT(touch.output, HasSubstr("Permission denied"));
  EXPECT_TRUE(std::filesystem::exists(Host("sub.txt")));
  EXPECT_EQ(ReadHostFile(Host(".DS_Store")), "finder");
  EXPECT_EQ(open(Share(".DS_Store").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EACCES);
}

TEST_F(FuseMountTest, QuickLookMarkerIsAnEmptyReadOnlyFileThatCannotBeWritten) {
  for (const std::string& path : {Share(".ql_disablecache"), volume_ + "/.ql_disablecache"}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0444));
    EXPECT_EQ(st.st_size, 0);
  }
  const int reader = open(Share(".ql_disablecache").c_str(), O_RDONLY);
  ASSERT_GE(reader, 0) << std::strerror(errno);
  char buffer[16];
  // The kernel answers from the size it was shown: there is nothing to read.
  EXPECT_EQ(read(reader, buffer, sizeof buffer), 0);
  close(reader);
  const int writer = open(Share(".ql_disablecache").c_str(), O_WRONLY);
  ASSERT_GE(writer, 0) << std::strerror(errno);
  EXPECT_EQ(write(writer, "x", 1), -1);
  EXPECT_EQ(errno, EACCES);
  close(writer);
  EXPECT_EQ(Sh("ls -a").output, ".\n..\n");
  EXPECT_FALSE(std::filesystem::exists(Host(".ql_disablecache")));
  // Both opens were answered from the forged range, and both released.
  EXPECT_TRUE(WaitForOutput("closed forged fd=", 2));
  EXPECT_THAT(mount_->Output(), ::testing::ContainsRegex("forged fd=25[78] path=share/.ql_disablecache\n(.|\n)*"
                                                         "forged fd=25[78] path=share/.ql_disablecache\n"));
}

TEST_F(FuseMountTest, TheTwoHundredFiftySixthOpenFailsAndTheSmallestNumberComesBack) {
  host_.WriteFile("f", "content");
  std::vector<int> fds;
  for (int i = 0; i < 255; ++i) {
    const int fd = open(Share("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << "open " << i + 1 << ": " << std::strerror(errno);
    fds.push_back(fd);
  }
  EXPECT_EQ(open(Share("f").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EMFILE);

  // The n-th open got number n; release 40, then 17. Releases reach the
  // program after close returns, so wait until it has seen them.
  close(fds[39]);
  close(fds[16]);
  ASSERT_TRUE(WaitForOutput("optimized out opening fd=40\n", 1));
  ASSERT_TRUE(WaitForOutput("optimized out opening fd=17\n", 1));
  fds[16] = open(Share("f").c_str(), O_RDONLY);
  ASSERT_GE(fds[16], 0) << std::strerror(errno);
  EXPECT_TRUE(WaitForOutput("postponed open fd=17 path=share/f", 2));
  fds[39] = open(Share("f").c_str(), O_RDWR);
  ASSERT_GE(fds[39], 0) << std::strerror(errno);
  EXPECT_TRUE(WaitForOutput("opened fd=40 path=share/f", 1));
  EXPECT_EQ(open(Share("f").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EMFILE);

  char buffer[8];
  EXPECT_EQ(pread(fds[16], buffer, sizeof buffer, 0), 7);
  for (int fd : fds) close(fd);
}

TEST_F(FuseMountTest, ConcurrentReadersSeeTheRightBytes) {
  const std::string data = RandomBytes(4 * 1024 * 1024 + 999, Seed());
  host_.WriteFile("data", data);
  constexpr int kThreads = 8;
  const int shared = open(Share("data").c_str(), O_RDONLY);
  ASSERT_GE(shared, 0);
  std::atomic<int> mismatches{0}, failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&, t] {
      std::string buffer;
      if (t % 2 == 0) {
        // Sequential reads of its own descriptor: the kernel reads ahead,
        // several requests for the same file at once.
        const int fd = open(Share("data").c_str(), O_RDONLY);
        if (fd < 0) {
          ++failures;
          return;
        }
        std::string whole;
        buffer.resize(1 << 20);
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) whole.append(buffer.data(), n);
        close(fd);
        if (whole != data) ++mismatches;
        return;
      }
      // Random positioned reads of one descriptor shared by several threads.
      std::mt19937 random(Seed() + t);
      for (int i = 0; i < 100; ++i) {
        const size_t offset = random() % data.size();
        const size_t length = 1 + random() % (300 * 1024);
        buffer.resize(length);
        const ssize_t n = pread(shared, buffer.data(), length, static_cast<off_t>(offset));
        const size_t expected = std::min(length, data.size() - offset);
        if (n != static_cast<ssize_t>(expected)) {
          ++failures;
        } else if (buffer.compare(0, expected, data, offset, expected) != 0) {
          ++mismatches;
        }
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  close(shared);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(FuseMountTest, ReadOnlyShareServesReadsAndRefusesChanges) {
  host_.WriteFile("f", "readable");
  const auto read = RunShell("cat " + Quoted(ro_ + "/f"));
  EXPECT_EQ(read.output, "readable");
  for (const std::string command :
       {"printf x > new", "printf x >> f", "rm f", "mkdir d", "mv f g", "chmod +x f", "touch -m -d @1 f"}) {
    const auto result = RunShell(command + " 2>&1", ro_);
    EXPECT_NE(result.exitStatus, 0) << command;
    EXPECT_THAT(result.output, HasSubstr("Permission denied")) << command;
  }
  EXPECT_EQ(ReadHostFile(Host("f")), "readable");
  EXPECT_FALSE(std::filesystem::exists(Host("new")));
}

}  // namespace
}  // namespace OST
