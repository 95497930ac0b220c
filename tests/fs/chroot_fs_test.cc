// ChrootFilesystem: paths taken below a root, and the read-only switch that
// refuses changes before the filesystem below is asked.
#include "fs/chroot_fs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "fs/fs_native.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/recording_fs.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using testutil::CatchError;

class ChrootTest : public ::testing::Test {
 protected:
  ChrootTest() : root_(Path::FromUtf8(dir_.path())), rootText_(root_.ToString()) {
    dir_.WriteFile("file", "12345");
    std::filesystem::create_directory(dir_.path() + "/dir");
  }

  testutil::TempDir dir_;
  NativeFilesystem native_;
  testutil::RecordingFilesystem below_{native_};
  const Path root_;
  const std::string rootText_;
};

TEST_F(ChrootTest, EveryOperationIsForwardedBelowTheRoot) {
  ChrootFilesystem fs(below_, root_, false);
  EXPECT_EQ(fs.GetStat(Path()).flags, FLAG_DIR);  // the root directory itself
  EXPECT_EQ(fs.GetStat(U"file").size, 5);
  EXPECT_EQ(fs.ReadDir(Path()).size(), 2u);
  fs.MakeDir(U"dir/sub");
  fs.RemoveDir(U"dir/sub");
  fs.Open(U"new", File::MODE_CREATE_NEW, File::ACCESS_RW, FLAG_WRITE)->Write("ab", 2);
  fs.SetTimes(U"new", AccessTime(10), ModifyTime(20));
  fs.Rename(U"new", U"dir/moved", Filesystem::kRenameNoReplace);
  fs.SetFlags(U"dir/moved", FLAG_EXE);
  fs.Delete(U"dir/moved");
  const std::string r = rootText_;
  EXPECT_THAT(below_.Calls(),
              ElementsAre("GetStat " + r, "GetStat " + r + "/file", "ReadDir " + r, "MakeDir " + r + "/dir/sub",
                          "RemoveDir " + r + "/dir/sub", "Open " + r + "/new mode=4 access=2 flags=4",
                          "SetTimes " + r + "/new 10 20", "Rename " + r + "/new " + r + "/dir/moved flags=1",
                          "SetFlags " + r + "/dir/moved 2", "Delete " + r + "/dir/moved"));
  // The native layer checks the no-replace rename through GetStat.
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/dir/moved"));
}

TEST_F(ChrootTest, ErrorsBelowPassThroughUnchanged) {
  ChrootFilesystem fs(below_, root_, true);
  const auto caught = CatchError([&] { fs.GetStat(U"missing"); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not get file stat");
}

TEST_F(ChrootTest, ReadOnlyRefusesChangesBeforeAskingBelow) {
  ChrootFilesystem fs(below_, root_, true);
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  const Case refused[] = {
      {"MakeDir existing", [&] { fs.MakeDir(U"dir"); }},
      {"MakeDir new", [&] { fs.MakeDir(U"other"); }},
      {"RemoveDir", [&] { fs.RemoveDir(U"dir"); }},
      {"SetTimes", [&] { fs.SetTimes(U"file", AccessTime(1), ModifyTime(1)); }},
      {"Rename", [&] { fs.Rename(U"file", U"moved", 0); }},
      {"Delete", [&] { fs.Delete(U"file"); }},
      {"SetFlags", [&] { fs.SetFlags(U"file", FLAG_WRITE); }},
      {"Open existing RW", [&] { fs.Open(U"file", File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0); }},
      {"Open existing WO", [&] { fs.Open(U"file", File::MODE_OPEN_EXISTING, File::ACCESS_WO, 0); }},
      {"Open always RO", [&] { fs.Open(U"file", File::MODE_OPEN_ALWAYS, File::ACCESS_RO, 0); }},
      {"Open truncate RO", [&] { fs.Open(U"file", File::MODE_TRUNCATE_EXISTING, File::ACCESS_RO, 0); }},
      {"Open missing RW", [&] { fs.Open(U"missing", File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0); }},
      {"Open create new", [&] { fs.Open(U"missing", File::MODE_CREATE_NEW, File::ACCESS_WO, 0); }},
  };
  for (const Case& c : refused) {
    const auto caught = CatchError(c.call);
    EXPECT_EQ(caught.code, E_ACCES) << c.name;
    EXPECT_EQ(caught.text, "Read only filesystem") << c.name;
  }
  EXPECT_TRUE(below_.Calls().empty());
  EXPECT_EQ(std::filesystem::file_size(dir_.path() + "/file"), 5u);

  // Reading stays possible, and flags are reported as they are below.
  EXPECT_EQ(fs.GetStat(U"file").flags & FLAG_WRITE, FLAG_WRITE);
  EXPECT_EQ(fs.ReadDir(Path()).size(), 2u);
  char buffer[8];
  EXPECT_EQ(fs.Open(U"file", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0)->ReadAny(buffer, 8), 5);
  EXPECT_EQ(CatchError([&] { fs.Open(U"missing", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); }).text,
            "Could not open file");
}

TEST_F(ChrootTest, JoinedPathsDeeperThanAllowedAreRefused) {
  const Path deepRoot(U"a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t");
  ChrootFilesystem fs(below_, deepRoot, false);
  const auto caught = CatchError([&] { fs.GetStat(U"1/2/3/4/5/6/7/8/9/10/11/12/13"); });
  EXPECT_EQ(caught.code, E_MFILE);
  EXPECT_EQ(caught.text, "Too many path levels");
  EXPECT_TRUE(below_.Calls().empty());
}

}  // namespace
}  // namespace OST
