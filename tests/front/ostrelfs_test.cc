// The FUSE front end's fixed parts: the operation table, the mount
// arguments, and the pieces the callbacks fill in (struct stat, statfs,
// utimens times, the chown rule).
#define FUSE_USE_VERSION 26
#include "front/ostrelfs.h"

#include <fuse.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "core/error.h"
#include "core/log.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;

TEST(FuseOperations, TableHoldsExactlyTheOstrelCallbacks) {
  const fuse_operations& ops = OstrelOperations();
  // What the table answers itself.
  EXPECT_NE(ops.init, nullptr);
  EXPECT_NE(ops.getattr, nullptr);
  EXPECT_NE(ops.utimens, nullptr);
  EXPECT_NE(ops.readdir, nullptr);
  EXPECT_NE(ops.mkdir, nullptr);
  EXPECT_NE(ops.rmdir, nullptr);
  EXPECT_NE(ops.unlink, nullptr);
  EXPECT_NE(ops.create, nullptr);
  EXPECT_NE(ops.open, nullptr);
  EXPECT_NE(ops.rename, nullptr);
  EXPECT_NE(ops.read, nullptr);
  EXPECT_NE(ops.write, nullptr);
  EXPECT_NE(ops.release, nullptr);
  EXPECT_NE(ops.chmod, nullptr);
  EXPECT_NE(ops.ftruncate, nullptr);
  EXPECT_NE(ops.truncate, nullptr);
  EXPECT_NE(ops.chown, nullptr);
  EXPECT_NE(ops.setxattr, nullptr);
  EXPECT_NE(ops.removexattr, nullptr);
  EXPECT_NE(ops.statfs, nullptr);
  // Left to FUSE's own answers.
  EXPECT_EQ(ops.readlink, nullptr);
  EXPECT_EQ(ops.symlink, nullptr);
  EXPECT_EQ(ops.link, nullptr);
  EXPECT_EQ(ops.mknod, nullptr);
  EXPECT_EQ(ops.getxattr, nullptr);
  EXPECT_EQ(ops.listxattr, nullptr);
  EXPECT_EQ(ops.opendir, nullptr);
  EXPECT_EQ(ops.flush, nullptr);
  EXPECT_EQ(ops.fsync, nullptr);
  EXPECT_EQ(ops.access, nullptr);
  EXPECT_EQ(ops.fgetattr, nullptr);
  EXPECT_EQ(ops.lock, nullptr);
  EXPECT_EQ(ops.utime, nullptr);
  EXPECT_EQ(ops.destroy, nullptr);
  EXPECT_TRUE(ops.flag_utime_omit_ok);
  EXPECT_FALSE(ops.flag_nullpath_ok);
  EXPECT_FALSE(ops.flag_nopath);
}

TEST(FuseAnswer, ErrorsBecomeTheirErrnoAndAnythingElseEio) {
  testutil::CapturedLog log;
  LogEnabled[105] = 1;
  EXPECT_EQ(FuseAnswer("ostrel_read", [] { return 42; }), 42);
  EXPECT_EQ(FuseAnswer("ostrel_getattr", []() -> int { OST_THROW(Error(E_NOENT, "Could not get file stat")); }),
            -ENOENT);
  EXPECT_EQ(FuseAnswer("ostrel_open", []() -> int { OST_THROW(Error(E_MFILE, "Too many open files")); }), -EMFILE);
  EXPECT_EQ(FuseAnswer("ostrel_write", []() -> int { throw std::runtime_error("boom"); }), -EIO);
  EXPECT_EQ(FuseAnswer("ostrel_write", []() -> int { throw 7; }), -EIO);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0],
              ::testing::HasSubstr(":ostrel_getattr Error: Code: E_NOENT, Text: \"Could not get file stat\""));
  EXPECT_THAT(lines[2], ::testing::EndsWith(":ostrel_write Exception: boom"));
  EXPECT_THAT(lines[3], ::testing::EndsWith(":ostrel_write Exception: unknown"));
}

TEST(FuseArguments, LinuxKeepsOnlyTheOptionsItHas) {
  for (bool local : {false, true}) {
    EXPECT_THAT(FuseArgumentsFor(FUSE_PLATFORM_LINUX, "/usr/bin/ostreld", "/mnt/net", local),
                ElementsAre("/usr/bin/ostreld", "/mnt/net", "-f", "-onoatime", "-ofsname=Ostrel"));
  }
  EXPECT_EQ(FuseArguments("p", "/mnt/x", true), FuseArgumentsFor(FUSE_PLATFORM_LINUX, "p", "/mnt/x", true));
}

TEST(FuseArguments, MacosVectorInOrder) {
  EXPECT_THAT(
      FuseArgumentsFor(FUSE_PLATFORM_MACOS, "ostreld", "/Volumes/Net Drive/", true),
      ElementsAre("ostreld", "/Volumes/Net Drive/", "-f", "-onoatime", "-olocal", "-onoappledouble", "-oiosize=131072",
                  "-ofsname=Ostrel", "-ovolname=Net Drive", "-omodules=iconv,from_code=UTF-8,to_code=UTF-8-MAC"));
  const auto plain = FuseArgumentsFor(FUSE_PLATFORM_MACOS, "ostreld", "/Volumes/net", false);
  EXPECT_EQ(std::count(plain.begin(), plain.end(), "-olocal"), 0);
  EXPECT_EQ(plain.size(), 9u);
}

TEST(FuseStat, FillRuleTable) {
  struct Case {
    uint32_t flags;
    mode_t mode;
  };
  const Case cases[] = {{FLAG_DIR, S_IFDIR | 0755}, {FLAG_DIR | FLAG_WRITE, S_IFDIR | 0755},
                        {0, S_IFREG | 0444},        {FLAG_WRITE, S_IFREG | 0644},
                        {FLAG_EXE, S_IFREG | 0555}, {FLAG_WRITE | FLAG_EXE, S_IFREG | 0755}};
  for (const Case& c : cases) {
    struct stat st;
    std::memset(&st, 0xAB, sizeof st);  // every field not named must come out 0
    FillStat(Stat(c.flags, 12345, AccessTime(1111), ModifyTime(2222), ChangeTime(3333)), 1000, 100, &st);
    EXPECT_EQ(st.st_mode, c.mode) << c.flags;
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_size, 12345);
    EXPECT_EQ(st.st_mtim.tv_sec, 2222);
    EXPECT_EQ(st.st_ctim.tv_sec, 1111);  // the access time goes here
    EXPECT_EQ(st.st_atim.tv_sec, 0);
    EXPECT_EQ(st.st_atim.tv_nsec, 0);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 100u);
    EXPECT_EQ(st.st_ino, 0u);
    EXPECT_EQ(st.st_blocks, 0);
    EXPECT_EQ(st.st_dev, 0u);
  }
}

TEST(FuseStat, StatfsFiguresAndUntouchedFields) {
  struct statvfs sf;
  std::memset(&sf, 0, sizeof sf);
  sf.f_favail = 77;
  sf.f_flag = ST_NOSUID;
  FillStatfs(&sf);
  EXPECT_EQ(sf.f_bsize, 4096u);
  EXPECT_EQ(sf.f_frsize, 4096u);
  EXPECT_EQ(sf.f_blocks, 6979280836u);
  EXPECT_EQ(sf.f_bfree, 4563361732u);
  EXPECT_EQ(sf.f_bavail, 4563361732u);
  EXPECT_EQ(sf.f_files, 436205052u);
  EXPECT_EQ(sf.f_ffree, 285210108u);
  EXPECT_EQ(sf.f_namemax, 255u);
  const uint32_t id = static_cast<uint32_t>(sf.f_fsid);
  EXPECT_EQ(std::string({static_cast<char>(id >> 24), static_cast<char>(id >> 16), static_cast<char>(id >> 8),
                         static_cast<char>(id)}),
            "OSTL");
  EXPECT_EQ(sf.f_favail, 77u);
  EXPECT_EQ(sf.f_flag, static_cast<unsigned long>(ST_NOSUID));
}

TEST(FuseTimes, NowAndOmitTable) {
  struct Case {
    timespec requested;
    int64_t expected;
  };
  const Case cases[] = {
      {{500, 999999999}, 500},   // nanoseconds dropped
      {{0, 0}, 0},               // the epoch is a time like any other
      {{777, UTIME_NOW}, 9000},  // the current time
      {{777, UTIME_OMIT}, 42},   // the file's own time
  };
  for (const Case& c : cases) EXPECT_EQ(UtimensSeconds(c.requested, 42, 9000), c.expected);
}

TEST(FuseChown, OnlyTheShownOwnerIsAccepted) {
  const uid_t none = static_cast<uid_t>(-1);
  const gid_t noGroup = static_cast<gid_t>(-1);
  struct Case {
    uid_t uid;
    gid_t gid;
    bool accepted;
  };
  const Case cases[] = {
      {1000, 100, true}, {none, noGroup, true}, {1000, noGroup, true}, {none, 100, true},
      {0, 100, false},   {1000, 0, false},      {none, 5, false},      {2000, noGroup, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ChownKeepsOwner(c.uid, c.gid, 1000, 100), c.accepted) << c.uid << ":" << c.gid;
}

}  // namespace
}  // namespace OST
