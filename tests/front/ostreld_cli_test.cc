// The daemon's command line as a user meets it: exit statuses and messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "util/process.h"

namespace OST {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using testutil::RunProcess;
using testutil::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

TEST(OstreldCommandLine, UnexpectedOptionExitsWith250AndOneShortErrorLine) {
  const auto result = RunProcess({OSTRELD_PATH, "-x"});
  EXPECT_EQ(result.exitStatus, 250);
  const auto lines = Lines(result.output);
  ASSERT_EQ(lines.size(), 1u) << result.output;
  EXPECT_THAT(lines[0], ContainsRegex(R"(^[0-9]{8}-[0-9]{6}\.[0-9]{6} [0-9]{5} Error: Code: E_INVAL, )"
                                      R"(Text: "Unexpected option", option: "x", (in: "getopt\.cc:[0-9]+:Parse", )+)"
                                      R"(in: "options\.cc:[0-9]+:ParseArgs", in: "daemon\.cc:[0-9]+:ParseCommandLine", )"
                                      R"(in: "daemon\.cc:[0-9]+:Main"$)"));
}

TEST(OstreldCommandLine, NoArgumentsAndNoArgumentFileShowsUsage) {
  TempDir dir;
  const auto result = RunProcess({OSTRELD_PATH}, dir.path());
  EXPECT_EQ(result.exitStatus, 0);
  const auto lines = Lines(result.output);
  ASSERT_EQ(lines.size(), 28u) << result.output;
  EXPECT_EQ(lines[1], "Usage: ostreld -c configFile -m mountPoint [options]");
}

TEST(OstreldCommandLine, ArgumentFileReplacesCommandLine) {
  TempDir dir;
  dir.WriteFile("ostrel.args", "-v -v -x\n");
  const auto result = RunProcess({OSTRELD_PATH}, dir.path());
  EXPECT_EQ(result.exitStatus, 250);
  EXPECT_THAT(result.output, HasSubstr("option: \"x\""));
}

TEST(OstreldCommandLine, ArgumentFileLinesAreJoinedWithoutBlanks) {
  TempDir dir;
  // "-f" and "-v" on two lines become "-f-v": '-' is not an option letter.
  dir.WriteFile("ostrel.args", "-f\n-v\n");
  const auto result = RunProcess({OSTRELD_PATH}, dir.path());
  EXPECT_EQ(result.exitStatus, 250);
  EXPECT_THAT(result.output, HasSubstr("Unexpected option\", option: \"-\""));
}

TEST(OstreldCommandLine, MissingConfigFileIsReported) {
  const auto result = RunProcess({OSTRELD_PATH, "-m", "/mnt"});
  EXPECT_EQ(result.exitStatus, 250);
  EXPECT_THAT(result.output, HasSubstr("Text: \"Config file is not specified\""));
}

}  // namespace
}  // namespace OST
