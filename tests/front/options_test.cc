#include "front/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { TEST_ResetLogSwitches(); }
  void TearDown() override { TEST_ResetLogSwitches(); }

  void Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "ostreld");
    options_.ParseArgs(static_cast<int>(args.size()), args.data());
  }

  // Parses and returns the error, failing the test when there is none.
  Error ParseError(std::vector<const char*> args) {
    try {
      Parse(std::move(args));
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return Error(E_OK, "");
  }

  testutil::CapturedLog log_;
  Options options_;
};

TEST_F(OptionsTest, Defaults) {
  EXPECT_EQ(options_.logSize, 134217728);
  EXPECT_FALSE(options_.foreground);
  EXPECT_EQ(options_.suffixMode, PLAIN_NAME);
  EXPECT_TRUE(options_.configFile.empty());
}

TEST_F(OptionsTest, CombinedFlagsAndValues) {
  Parse({"-fv", "-c", "a.json", "-m", "/mnt"});
  EXPECT_TRUE(options_.foreground);
  EXPECT_TRUE(LogOn(197));
  EXPECT_FALSE(LogOn(198));
  EXPECT_EQ(options_.configFile, "a.json");
  EXPECT_EQ(options_.mountPoint, "/mnt");
}

TEST_F(OptionsTest, ValueInSameArgumentAndPendingValue) {
  Parse({"-ca.json", "-S", "-L", "-M", "-r", "node"});
  EXPECT_EQ(options_.configFile, "a.json");
  EXPECT_TRUE(options_.mountLoopback);
  EXPECT_TRUE(options_.local);
  EXPECT_TRUE(options_.isConfigServer);
  EXPECT_EQ(options_.rootNode, "node");

  Options other;
  const char* args[] = {"ostreld", "-c", "-f", "config.json"};
  other.ParseArgs(4, args);
  EXPECT_TRUE(other.foreground);
  EXPECT_EQ(other.configFile, "config.json");
}

TEST_F(OptionsTest, LastSuffixOptionWins) {
  Parse({"-A", "-a"});
  EXPECT_EQ(options_.suffixMode, ONLY_SUFFIX);
  Options other;
  const char* args[] = {"ostreld", "-a", "-A"};
  other.ParseArgs(3, args);
  EXPECT_EQ(other.suffixMode, ADD_SUFFIX);
}

TEST_F(OptionsTest, LogSizeReadLikeStoi) {
  Parse({"-s", "1k"});
  EXPECT_EQ(options_.logSize, 1);
  Parse({"-s", " -20"});
  EXPECT_EQ(options_.logSize, -20);
}

TEST_F(OptionsTest, Refusals) {
  const struct {
    std::vector<const char*> args;
    const char* message;
    const char* detailName;
    const char* detailValue;
  } cases[] = {
      {{"-c"}, "Missing value for option", "option", "c"},
      {{"-x"}, "Unexpected option", "option", "x"},
      {{"-fx"}, "Unexpected option", "option", "x"},
      {{"-:"}, "Unexpected option", "option", ":"},
      {{"--help"}, "Long options are not supported", nullptr, nullptr},
      {{"extra"}, "Unexpected parameter", "parameter", "extra"},
      {{"-"}, "Unexpected parameter", "parameter", "-"},
      {{"-s", "abc"}, "Invalid log size option", "value", "abc"},
      {{"-s", "2147483648"}, "Invalid log size option", "value", "2147483648"},
      {{"-D", "2000"}, "Logging category out of range", "category", "2000"},
  };
  for (const auto& c : cases) {
    Options fresh;
    std::vector<const char*> args = c.args;
    args.insert(args.begin(), "ostreld");
    try {
      fresh.ParseArgs(static_cast<int>(args.size()), args.data());
      ADD_FAILURE() << c.message;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), c.message);
      const auto pairs = e.Pairs();
      if (c.detailName) {
        EXPECT_EQ(pairs.at(0), std::make_pair(std::string(c.detailName), std::string(c.detailValue)));
      } else {
        EXPECT_EQ(pairs.at(0).first, "in");
      }
    }
  }
}

TEST_F(OptionsTest, OptionsLogTheirValuesInCategory130) {
  Parse({"-D", "130", "-f", "-c", "x.json"});
  EXPECT_TRUE(log_.HasLineEndingWith(" foreground=1"));
  EXPECT_TRUE(log_.HasLineEndingWith(" configFile=x.json"));
}

TEST_F(OptionsTest, LogSwitchesActInOrder) {
  Parse({"-D", "105", "-v"});
  EXPECT_TRUE(LogOn(105));
  EXPECT_FALSE(log_.HasLineEndingWith("Enabled log category 105"));
  TEST_ResetLogSwitches();
  Options other;
  const char* args[] = {"ostreld", "-v", "-D", "105"};
  other.ParseArgs(4, args);
  EXPECT_TRUE(log_.HasLineEndingWith("Enabled log category 105"));
}

TEST(ShowUsage, WritesTwentyEightLinesToConsole) {
  testutil::CapturedConsole console;
  ShowUsage();
  const auto lines = console.Lines();
  ASSERT_THAT(lines, SizeIs(28));
  EXPECT_THAT(lines[0], HasSubstr("Ostrel private P2P network ["));
  EXPECT_EQ(lines[1], "Usage: ostreld -c configFile -m mountPoint [options]");
  EXPECT_EQ(lines[12], "               Unique timestamp-based name is used in case path is a ");
  EXPECT_EQ(lines[27], "                 level is set");
}

}  // namespace
}  // namespace OST
