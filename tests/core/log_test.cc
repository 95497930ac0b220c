#include "core/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "core/error.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { TEST_ResetLogSwitches(); }
  void TearDown() override { TEST_ResetLogSwitches(); }
  testutil::CapturedLog log_;
};

// An argument whose formatting is observed.
struct Observed {
  int* formatted;
};
std::string ToString(const Observed& o) {
  ++*o.formatted;
  return "observed";
}

TEST_F(LogTest, DisabledStatementFormatsNothing) {
  int formatted = 0;
  OST_LOG(105, "value={}", Observed{&formatted});
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(log_.Lines().empty());
  LogEnabled[105] = 1;
  OST_LOG(105, "value={}", Observed{&formatted});
  EXPECT_EQ(formatted, 1);
  EXPECT_THAT(log_.Lines(), SizeIs(1));
}

TEST_F(LogTest, NoLoggerWritesNothingAndFormatsNothing) {
  LogEnabled[105] = 1;
  auto saved = std::move(Logger());
  int formatted = 0;
  OST_LOG(105, "value={}", Observed{&formatted});
  Logger() = std::move(saved);
  EXPECT_EQ(formatted, 0);
}

TEST_F(LogTest, DetailedAndShortLineForms) {
  LogEnabled[127] = 1;
  LogEnabled[kLogVerbose1] = 1;
  OST_LOG(127, "path={}", "a");
  OST_LOG(kLogVerbose1, "Accepted {}", 3);
  const auto lines = log_.Lines();
  ASSERT_THAT(lines, SizeIs(2));
  const std::regex detailed(R"(\d{8}-\d{6}\.\d{6} \d{5} log_test\.cc:\d+:TestBody path=a)");
  const std::regex brief(R"(\d{8}-\d{6}\.\d{6} \d{5} Accepted 3)");
  EXPECT_TRUE(std::regex_match(lines[0], detailed)) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], brief)) << lines[1];
}

TEST_F(LogTest, VerbosityEnables197Then198) {
  IncreaseLogVerbosity();
  EXPECT_TRUE(LogOn(197));
  EXPECT_FALSE(LogOn(198));
  IncreaseLogVerbosity();
  EXPECT_TRUE(LogOn(198));
  IncreaseLogVerbosity();
  int on = 0;
  for (int i = 0; i < kLogCategories; ++i) on += LogOn(i);
  EXPECT_EQ(on, 2);
}

TEST_F(LogTest, EnableLogCategoryAcceptsNumbersAndAll) {
  EnableLogCategory("105,3x");
  EXPECT_TRUE(LogOn(105));
  EXPECT_TRUE(LogOn(3));
  EnableLogCategory("1023");
  EXPECT_TRUE(LogOn(1023));
  EXPECT_TRUE(log_.Lines().empty());  // 197 is off: nothing said
  EnableLogCategory("ALL");
  for (int i = 0; i < kLogCategories; ++i) EXPECT_TRUE(LogOn(i)) << i;
  EXPECT_TRUE(log_.HasLineEndingWith(" Enabled all log categories"));
}

TEST_F(LogTest, EnableLogCategoryRefusals) {
  const struct {
    const char* text;
    const char* message;
    const char* category;
  } cases[] = {
      {"all", "Invalid logging category", "all"},
      {"105,,3", "Invalid logging category", ""},
      {"1024", "Logging category out of range", "1024"},
      {"-1", "Logging category out of range", "-1"},
      {"99999999999", "Invalid logging category", "99999999999"},
  };
  for (const auto& c : cases) {
    try {
      EnableLogCategory(c.text);
      ADD_FAILURE() << c.text;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), c.message) << c.text;
      EXPECT_EQ(e.Pairs().at(0), std::make_pair(std::string("category"), std::string(c.category)));
    }
  }
  EXPECT_TRUE(LogOn(105));  // pieces before the failing one stay on
  EXPECT_FALSE(LogOn(3));
}

TEST_F(LogTest, EnabledCategoryIsAnnouncedWhenVerbose) {
  EnableLogCategory("105");
  IncreaseLogVerbosity();
  EnableLogCategory("106");
  EXPECT_FALSE(log_.HasLineEndingWith("Enabled log category 105"));
  EXPECT_TRUE(log_.HasLineEndingWith("Enabled log category 106"));
}

TEST_F(LogTest, ConcurrentStatementsProduceWholeLines) {
  LogEnabled[kLogVerbose2] = 1;
  // Through the real console writer, into a captured console.
  testutil::CapturedConsole console;
  auto saved = std::move(Logger());
  Logger() = std::make_unique<ConsoleLogWriter>();
  const std::string a(500, 'a'), b(500, 'b');
  std::thread t1([&] { for (int i = 0; i < 200; ++i) OST_LOG(kLogVerbose2, "{}", a); });
  std::thread t2([&] { for (int i = 0; i < 200; ++i) OST_LOG(kLogVerbose2, "{}", b); });
  t1.join();
  t2.join();
  Logger() = std::move(saved);
  const auto lines = console.Lines();
  ASSERT_THAT(lines, SizeIs(400));
  for (const auto& line : lines) EXPECT_TRUE(line.ends_with(" " + a) || line.ends_with(" " + b));
}

TEST(LogThreadId, IsFiveDigitsAndStablePerThread) {
  const unsigned id = LogThreadId();
  EXPECT_GE(id, 10000u);
  EXPECT_LE(id, 75534u);
  EXPECT_EQ(id, LogThreadId());
}

}  // namespace
}  // namespace OST
