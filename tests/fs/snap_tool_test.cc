// The ostrel-snap program, run as a user would: its snapshot of a share is
// mounted beside the share and lists what the share lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "fs/share_fs.h"
#include "fs/snap_dir.h"
#include "io/string_writer.h"
#include "util/process.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using testutil::HiddenFiles;
using testutil::ReadHostFile;

using testutil::ProcessResult;
using testutil::RunProcess;

ProcessResult Snap(const std::vector<std::string>& args) {
  std::vector<std::string> argv{OSTREL_SNAP_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, "", 60);
}


// Walks `fs` below `path` depth first and records "path kind size mtime"
// lines, skipping the listed top-level names and not descending into loop.
void Describe(Filesystem& fs, const Path& path, const std::vector<std::string>& skip, std::vector<std::string>& out) {
  for (const Entry& e : fs.ReadDir(path)) {
    if (path.Levels() == 1 && std::find(skip.begin(), skip.end(), e.name.ToString()) != skip.end()) continue;
    const Path child = path.Join(e.name);
    const Path inside = Path(child).Split(1);
    out.push_back(inside.ToString() + " " + ToString(e.stat) + " " + std::to_string(e.stat.mtime.value));
    if ((e.stat.flags & FLAG_DIR) && e.name != Path(U"loop")) Describe(fs, child, skip, out);
  }
}

TEST(OstrelSnap, UsageOnRequestAndOnWrongArguments) {
  const ProcessResult help = Snap({"-h"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_EQ(help.output.rfind("Usage: ostrel-snap SOURCE_DIR OUTPUT.snap\n", 0), 0u) << help.output;
  EXPECT_EQ(Snap({"--help"}).output, help.output);
  const std::vector<std::vector<std::string>> wrong = {{}, {"only-one"}, {"a", "b", "c"}, {"-x", "a"}, {"a", "-v"}};
  for (const auto& args : wrong) {
    const ProcessResult result = Snap(args);
    EXPECT_EQ(result.exitStatus, 2) << args.size();
    EXPECT_EQ(result.output, help.output);
  }
}

class OstrelSnapShareTest : public ::testing::Test {
 protected:
  OstrelSnapShareTest() : share_(temp_.path() + "/docs") {
    std::filesystem::create_directories(share_ + "/sub/deeper");
    temp_.WriteFile("docs/a.txt", "aaa");
    temp_.WriteFile("docs/sub/b.txt", "bb");
    temp_.WriteFile("docs/z", "z");
    temp_.WriteFile("docs/bad:name", "not shareable");
    temp_.WriteFile("docs/sub/back\\slash", "not shareable either");
    std::filesystem::create_directory_symlink(".", share_ + "/loop");
  }

  testutil::TempDir temp_;
  const std::string share_;
};

TEST_F(OstrelSnapShareTest, SnapshotIsMountedBesideItsShare) {
  const ProcessResult result = Snap({share_, share_ + "/week.snap"});
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  // loop and sub/deeper are directories too; the loop is not followed.
  EXPECT_NE(result.output.find(": 3 directories, 3 files, 6 bytes\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("skipped bad:name: not a valid path component"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("skipped sub/back\\slash: not a valid path component"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("listing of loop left empty"), std::string::npos) << result.output;
  EXPECT_TRUE(HiddenFiles(share_).empty());

  ShareFilesystem shares({ShareCfg{U"docs", Path::FromUtf8(share_), false}});
  std::vector<std::string> top;
  for (const Entry& e : shares.ReadDir(Path())) top.push_back(e.name.ToString());
  EXPECT_EQ(top, (std::vector<std::string>{"docs", "docs.week"}));

  // The snapshot lists what the share lists, without itself and the names
  // that cannot be shared, sorted by name.
  std::vector<std::string> fromShare;
  std::vector<std::string> fromSnapshot;
  Describe(shares, U"docs", {"week.snap"}, fromShare);
  Describe(shares, U"docs.week", {}, fromSnapshot);
  std::sort(fromShare.begin(), fromShare.end());  // the host lists in its own order
  std::vector<std::string> sortedSnapshot = fromSnapshot;
  std::sort(sortedSnapshot.begin(), sortedSnapshot.end());
  EXPECT_EQ(sortedSnapshot, fromShare);
  std::vector<std::string> topNames;
  for (const Entry& e : shares.ReadDir(U"docs.week")) topNames.push_back(e.name.ToString());
  EXPECT_EQ(topNames, (std::vector<std::string>{"a.txt", "loop", "sub", "z"}));
  EXPECT_TRUE(shares.ReadDir(U"docs.week/loop").empty());

  std::string text(16, '\0');
  auto file = shares.Open(U"docs.week/sub/b.txt", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  text.resize(file->ReadAt(0, File::ORIGIN_SET, text.data(), 16));
  EXPECT_EQ(text, "bb");
}

TEST_F(OstrelSnapShareTest, OutputLoadsAndStoresToTheSameBytesAndIsReplacedWhole) {
  const std::string output = temp_.path() + "/out.snap";
  ASSERT_EQ(Snap({share_, output}).exitStatus, 0);
  const std::string first = ReadHostFile(output);
  testutil::ScriptedSource source({first});
  const SnapDir loaded(source);
  std::string again;
  StringWriter writer(again);
  loaded.StoreTo(writer);
  EXPECT_EQ(again, first);

  // A second run replaces the file with the new listing.
  temp_.WriteFile("docs/new.txt", "n");
  const ProcessResult second = Snap({share_, output});
  ASSERT_EQ(second.exitStatus, 0) << second.output;
  EXPECT_NE(second.output.find(": 3 directories, 4 files, 7 bytes\n"), std::string::npos) << second.output;
  testutil::ScriptedSource newer({ReadHostFile(output)});
  EXPECT_TRUE(SnapDir(newer).FindStat(U"new.txt").has_value());
  EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
}

TEST_F(OstrelSnapShareTest, FailuresExitNonZeroAndLeaveNoFileBehind) {
  const struct {
    std::string source;
    std::string output;
    std::string message;
  } cases[] = {
      {temp_.path() + "/missing", temp_.path() + "/x.snap", "ostrel-snap: Could not get file stat"},
      {share_ + "/a.txt", temp_.path() + "/x.snap", "ostrel-snap: Source is not a directory"},
      {share_, temp_.path() + "/no/such/dir/x.snap", "ostrel-snap: Could not open file"},
      {share_, "/", "ostrel-snap: Output is not a file name"},
  };
  for (const auto& c : cases) {
    const ProcessResult result = Snap({c.source, c.output});
    EXPECT_EQ(result.exitStatus, 1) << c.source << " " << c.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_FALSE(std::filesystem::exists(temp_.path() + "/x.snap"));
    EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
  }
}

}  // namespace
}  // namespace OST
