#include "core/error.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::StartsWith;

TEST(ErrorCodeText, NamesCodesAndOddities) {
  const struct {
    uint32_t code;
    const char* text;
  } cases[] = {
      {0, "E_OK"},
      {1002, "E_NOENT"},
      {1022, "E_SEEK"},
      {1033, "E_TOOLONG"},
      {1035, "E_UNKNOWN"},
      {2005, "E_EPROTOTYPE"},
      {2006, "E_NOTSOCK"},
      {2007, "E_ENOPROTOOPT"},
      {2022, "E_EHOSTUNREACH"},
      {3001, "E_PARSE"},
      {4000, "E_UNKNOWN"},
      {9999, "E_OVER"},
  };
  for (const auto& c : cases) EXPECT_EQ(Error::CodeText(c.code), c.text) << c.code;
}

TEST(ErrorErrno, CodesMapToPosixValues) {
  const struct {
    uint32_t code;
    int value;
  } cases[] = {
      {E_NOENT, ENOENT}, {E_SEEK, ESPIPE},        {E_TOOLONG, ENAMETOOLONG}, {E_EHOSTUNREACH, EHOSTUNREACH},
      {E_OK, EOVERFLOW}, {E_PARSE, EOVERFLOW},    {E_OVER, EOVERFLOW},       {5555, EOVERFLOW},
      {E_ACCES, EACCES}, {E_MFILE, EMFILE},       {E_NOTSOCK, ENOTSOCK},     {E_TIMEDOUT, ETIMEDOUT},
  };
  for (const auto& c : cases) EXPECT_EQ(Error(c.code, "x").Errno(), c.value) << c.code;
}

TEST(ErrnoToCode, MapsNamedAndUnnamedValues) {
  const struct {
    int value;
    uint32_t code;
  } cases[] = {
      {ENOENT, E_NOENT}, {ENOTDIR, E_NOENT}, {EISDIR, E_NOENT}, {ENOTTY, E_INVAL}, {EDOM, E_RANGE},
      {ELOOP, E_OVER},   {ETIME, E_OVER},    {0, E_OVER},       {-5, E_OVER},      {ENAMETOOLONG, E_TOOLONG},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrnoToCode(c.value), c.code) << c.value;
}

TEST(ErrnoText, NamesKnownValuesAndPrintsOthersInDecimal) {
  EXPECT_STREQ(ErrnoText(ENOENT), "ENOENT");
  EXPECT_STREQ(ErrnoText(ELOOP), "ELOOP");
  EXPECT_EQ(ErrnoText(0), nullptr);
  EXPECT_EQ(ErrnoToText(0), "0");
  EXPECT_EQ(ErrnoToText(EOPNOTSUPP), "EOPNOTSUPP");
  if (ENOTSUP != EOPNOTSUPP) {
    EXPECT_EQ(ErrnoToText(ENOTSUP), std::to_string(ENOTSUP));
  }
}

TEST(ErrorFullText, RendersCodeTextAndPairsInOrderWithoutEscaping) {
  Error e(E_NOENT, "Could not get file stat");
  e.Add("function", "stat").Add("errno", "ENOENT").Add("path", "/a\"b");
  EXPECT_EQ(e.FullText(','),
            "Code: E_NOENT, Text: \"Could not get file stat\", function: \"stat\", errno: \"ENOENT\", path: \"/a\"b\"");
  EXPECT_EQ(Error(E_INVAL, "x").FullText(','), "Code: E_INVAL, Text: \"x\"");
}

TEST(ErrorCopy, MovesDetailsAndLeavesSourceEmpty) {
  Error source(E_ACCES, "denied");
  source.Add("a", "1").Add("b", "2").Add("a", "3");
  Error copy(source);
  EXPECT_EQ(copy.Code(), E_ACCES);
  EXPECT_EQ(copy.Text(), "denied");
  EXPECT_THAT(copy.Pairs(), ElementsAre(Pair("a", "1"), Pair("b", "2"), Pair("a", "3")));
  EXPECT_TRUE(source.Pairs().empty());
  EXPECT_STREQ(source.what(), "");
}

TEST(Errno, BuildsErrorOfFailedCall) {
  const Error e = Errno("Could not open file", "open", ENOENT);
  EXPECT_EQ(e.Code(), E_NOENT);
  EXPECT_THAT(e.Pairs(), ElementsAre(Pair("function", "open"), Pair("errno", "ENOENT")));
  errno = EACCES;
  EXPECT_EQ(Errno("x", "chmod").Code(), E_ACCES);
}

void Inner() { OST_THROW(Error(E_NOENT, "missing").Add("path", "p")); }

void Outer() try { Inner(); }
OST_TRAIL

TEST(ErrorTrail, ThrowSiteAndPassThroughAddInPairsInnermostFirst) {
  try {
    Outer();
    FAIL() << "no error";
  } catch (const Error& e) {
    const auto pairs = e.Pairs();
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0], std::make_pair(std::string("path"), std::string("p")));
    EXPECT_EQ(pairs[1].first, "in");
    EXPECT_THAT(pairs[1].second, StartsWith("error_test.cc:"));
    EXPECT_THAT(pairs[1].second, HasSubstr(":Inner"));
    EXPECT_THAT(pairs[2].second, HasSubstr(":Outer"));
  }
}

TEST(ThrowBadObjectException, ThrowsBadfObjectDoesntExist) {
  try {
    ThrowBadObjectException();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_BADF);
    EXPECT_EQ(e.Text(), "Object doesn't exist");
  }
}

}  // namespace
}  // namespace OST
