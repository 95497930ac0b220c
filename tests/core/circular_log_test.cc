#include "core/circular_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "fs/fs_native.h"
#include "util/process.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kMarkerTail = std::string(16, '=') + std::string(8, '\n');

class CircularLogTest : public ::testing::Test {
 protected:
  void SetUp() override { TEST_ResetLogSwitches(); }
  void TearDown() override { TEST_ResetLogSwitches(); }

  Path FilePath(const std::string& name) const { return Path::FromUtf8(dir_.path() + "/" + name); }

  static std::string Contents(const Path& path) { return testutil::ReadHostFile(path.ToUnix8()); }

  testutil::TempDir dir_;
  testutil::CapturedConsole console_;  // keeps the echo off the test output
  NativeFilesystem fs_;
};

TEST_F(CircularLogTest, SizeBelowMinimumIsRefusedAndTouchesNothing) {
  for (int64_t size : {int64_t{1048}, int64_t{0}, int64_t{-1}, int64_t{-134217728}}) {
    try {
      CircularLogWriter writer(fs_, FilePath("log"), size);
      ADD_FAILURE() << size;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), "Circular file size is too small");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/log"));
  CircularLogWriter writer(fs_, FilePath("log"), 1049);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/log"));
}

TEST_F(CircularLogTest, LinesAreFollowedByOneMarker) {
  CircularLogWriter writer(fs_, FilePath("log"), 1 << 20);
  writer.Write("a");
  EXPECT_EQ(Contents(writer.Filename()), "a\n" + kMarkerTail);  // first line at offset 0
  writer.Write("b");
  EXPECT_EQ(Contents(writer.Filename()), "a\nb\n" + kMarkerTail);
  EXPECT_EQ(Contents(writer.Filename()).size(), 28u);
}

TEST_F(CircularLogTest, DirectoryGetsTimestampedFileAndExistingFileIsTruncated) {
  testutil::CapturedLog log;
  LogEnabled[kLogVerbose1] = 1;
  const Path dirPath = Path::FromUtf8(dir_.path());
  CircularLogWriter inDir(fs_, dirPath, 4096);
  const std::string name = inDir.Filename().Last().ToString();
  EXPECT_EQ(inDir.Filename().Parent(), dirPath);
  EXPECT_THAT(name, ::testing::MatchesRegex(R"(ostrel-[0-9]{8}-[0-9]{6}\.log)"));
  EXPECT_TRUE(log.HasLineEndingWith(" file=" + dirPath.ToString() + " size=4096"));

  dir_.WriteFile("old.log", std::string(5000, 'x'));
  CircularLogWriter existing(fs_, FilePath("old.log"), 4096);
  EXPECT_EQ(Contents(existing.Filename()), "");
}

// Where each byte of the file came from: the last write to an offset wins.
std::string ExpectedAfterWrapping(const std::string& stream, size_t size) {
  std::string file(std::min(stream.size(), size), '\0');
  for (size_t k = 0; k < stream.size(); ++k) file[k % size] = stream[k];
  return file;
}

TEST_F(CircularLogTest, LineLongerThanFileWrapsWithinOneCall) {
  std::string line;
  for (int i = 0; i < 3000; ++i) line += static_cast<char>('a' + i % 26);
  CircularLogWriter writer(fs_, FilePath("log"), 1049);
  writer.Write(line);
  const std::string contents = Contents(writer.Filename());
  EXPECT_EQ(contents.size(), 1049u);
  EXPECT_EQ(contents, ExpectedAfterWrapping(line + "\n" + kMarkerTail, 1049));
}

TEST_F(CircularLogTest, WrappingKeepsNewestLinesInOrderBeforeTheMarker) {
  const size_t size = 1049;
  CircularLogWriter writer(fs_, FilePath("log"), size);
  for (int i = 0; i < 300; ++i) writer.Write("line " + std::to_string(i));
  const std::string contents = Contents(writer.Filename());
  ASSERT_EQ(contents.size(), size);
  // Unroll the ring so that it ends with the newest marker.
  const std::string twice = contents + contents;
  const std::string newest = "line 299\n" + kMarkerTail;
  const size_t at = twice.find(newest, size - newest.size());
  ASSERT_NE(at, std::string::npos);
  const std::string ring = twice.substr(at + newest.size() - size, size);
  ASSERT_TRUE(ring.ends_with("line 299\n" + kMarkerTail));
  // Every whole line is the one before the next. A marker split by the wrap
  // stays behind between two lines until the writing comes round again, so
  // marker lines may appear between them.
  std::vector<int> numbers;
  std::istringstream lines(ring.substr(ring.find('\n') + 1));
  for (std::string l; std::getline(lines, l);) {
    if (l.starts_with("line ")) {
      numbers.push_back(std::stoi(l.substr(5)));
    } else {
      EXPECT_TRUE(l.empty() || l == std::string(16, '=')) << l;
    }
  }
  ASSERT_GT(numbers.size(), 20u);
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
  EXPECT_EQ(numbers.back(), 299);
}

TEST_F(CircularLogTest, EchoesToConsoleUntilDetached) {
  CircularLogWriter writer(fs_, FilePath("log"), 4096);
  writer.Write("shown");
  writer.DetachConsole();
  writer.Write("file only");
  EXPECT_THAT(console_.Lines(), ElementsAre("shown"));
  EXPECT_EQ(Contents(writer.Filename()), "shown\nfile only\n" + kMarkerTail);
}

TEST_F(CircularLogTest, ConcurrentLinesStayWhole) {
  CircularLogWriter writer(fs_, FilePath("log"), 1 << 22);
  writer.DetachConsole();
  const std::string a(100, 'a'), b(100, 'b');
  std::thread t1([&] { for (int i = 0; i < 300; ++i) writer.Write(a); });
  std::thread t2([&] { for (int i = 0; i < 300; ++i) writer.Write(b); });
  t1.join();
  t2.join();
  std::istringstream lines(Contents(writer.Filename()));
  int count = 0;
  for (std::string l; std::getline(lines, l) && !l.empty() && l[0] != '=';) {
    EXPECT_TRUE(l == a || l == b) << l;
    ++count;
  }
  EXPECT_EQ(count, 600);
}

TEST_F(CircularLogTest, OpenFailurePassesTheFilesystemError) {
  try {
    CircularLogWriter writer(fs_, FilePath("missing-dir/log"), 4096);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_NOENT);
    EXPECT_THAT(e.FullText(','), HasSubstr("Could not open file"));
  }
}

}  // namespace
}  // namespace OST
