#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/error.h"
#include "core/format.h"
#include "core/fs.h"
#include "core/text.h"

namespace OST {
namespace {

using ::testing::ElementsAre;

TEST(Format, SubstitutesInOrderAndAppendsSurplusArguments) {
  EXPECT_EQ(Format("a={} b={}", 1), "a=1 b={}");
  EXPECT_EQ(Format("x", 1, 2), "x 1 2");
  EXPECT_EQ(Format("x ", 1), "x 1");
  EXPECT_EQ(Format("", 5), "5");
  EXPECT_EQ(Format("{}{}", "a", "b"), "ab");
  EXPECT_EQ(Format("{ } {x} }{", 7), "{ } {x} }{ 7");
  EXPECT_EQ(Format("no args"), "no args");
}

TEST(ToString, TextFormsOfArgumentTypes) {
  EXPECT_EQ(Format("{}", std::numeric_limits<uint64_t>::max()), "-1");
  EXPECT_EQ(Format("{} {}", true, false), "1 0");
  EXPECT_EQ(Format("{}", int8_t{-3}), "-3");
  EXPECT_EQ(Format("{}", File::MODE_CREATE_NEW), "4");
  EXPECT_EQ(Format("{}", std::u32string(U"\u00e9t\u00e9")), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(Format("{}", TimeoutMs(250)), "250ms");
  EXPECT_EQ(Format("{}", std::vector<int>{1, 2, 3}), "[1,2,3]");
  EXPECT_EQ(Format("{}", std::vector<std::string>{}), "[]");
  EXPECT_EQ(Format("{}", Path(U"a/b")), "a/b");
  EXPECT_EQ(Format("{}", Stat(FLAG_WRITE, 5, {}, {}, {})), "FILE_rw 5");
  EXPECT_EQ(Format("{}", Entry(Path(U"n"), Stat())), "n DIR 0");
}

TEST(HexToString, FewestDigitsButAtLeastTwo) {
  const struct {
    uint64_t value;
    bool prefix;
    const char* text;
  } cases[] = {
      {0, false, "00"},          {15, false, "0f"},  {256, false, "100"},
      {4095, false, "fff"},      {0xABC, true, "0xabc"},
      {uint64_t{1} << 56, false, "100000000000000"}, {~uint64_t{0}, false, "ffffffffffffffff"},
  };
  for (const auto& c : cases) EXPECT_EQ(HexToString(c.value, c.prefix), c.text) << c.value;
}

TEST(HexFromString, AcceptsLowercaseWithOptionalPrefix) {
  const struct {
    const char* text;
    uint64_t value;
  } cases[] = {
      {"0x1f", 31}, {"1f", 31}, {"", 0}, {"0x", 0}, {"ffffffffffffffff", ~uint64_t{0}}, {"0000000000000000001", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(HexFromString(c.text), c.value) << c.text;
}

TEST(HexFromString, RefusesBadDigitsAndOverflow) {
  const struct {
    const char* text;
    uint32_t code;
    const char* message;
  } cases[] = {
      {"1F", E_INVAL, "Hex value is invalid"},
      {"0X1f", E_INVAL, "Hex value is invalid"},
      {" 1", E_INVAL, "Hex value is invalid"},
      {"1ffffffffffffffff", E_OVER, "Hex constant is too large"},
  };
  for (const auto& c : cases) {
    try {
      HexFromString(c.text);
      ADD_FAILURE() << c.text;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), c.code) << c.text;
      EXPECT_EQ(e.Text(), c.message);
      EXPECT_EQ(e.Pairs().at(0), std::make_pair(std::string("hex"), std::string(c.text)));
    }
  }
}

TEST(Utf8To32, DecodesSequencesAndRefusesInvalidOnes) {
  EXPECT_EQ(string8to32("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), std::u32string(U"a\u00e9\u20ac\U0001F600"));
  EXPECT_EQ(string8to32(std::string("\xc0\x80", 2)), std::u32string(1, U'\0'));  // overlong form accepted
  const struct {
    std::string bytes;
    const char* message;
  } refused[] = {
      {"\x80", "Could not convert invalid UTF-8 sequence to UTF-32"},
      {"\xf8\x80\x80\x80\x80", "Could not convert invalid UTF-8 sequence to UTF-32"},
      {"\xe2\x82", "Could not convert invalid UTF-8 sequence to UTF-32"},
      {"\xc3x", "Could not convert invalid UTF-8 sequence to UTF-32"},
      {"\xf4\x90\x80\x80", "Could not convert UTF-8 code beyond 0x10FFFF to UTF-32"},
  };
  for (const auto& c : refused) {
    try {
      string8to32(c.bytes);
      ADD_FAILURE() << c.message;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), c.message);
    }
  }
}

TEST(Utf32To8, EncodesAndRefusesSurrogatesAndLargeValues) {
  EXPECT_EQ(string32to8(std::u32string(1, U'\0')), std::string(1, '\0'));
  EXPECT_EQ(string32to8(U"\U0010FFFF"), "\xf4\x8f\xbf\xbf");
  const struct {
    char32_t cp;
    const char* message;
  } refused[] = {
      {0xD800, "Could not convert invalid symbols from range [0xD800,0xDFFF] to UTF-8"},
      {0xDFFF, "Could not convert invalid symbols from range [0xD800,0xDFFF] to UTF-8"},
      {0x110000, "Could not convert UTF-32 code beyond 0x10FFFF to UTF-8"},
  };
  for (const auto& c : refused) {
    try {
      string32to8(std::u32string(1, c.cp));
      ADD_FAILURE() << c.message;
    } catch (const Error& e) {
      EXPECT_EQ(e.Text(), c.message);
    }
  }
}

TEST(SplitString, KeepsEmptyPieces) {
  EXPECT_THAT(SplitString("a  b", " "), ElementsAre("a", "", "b"));
  EXPECT_THAT(SplitString("", " "), ElementsAre(""));
  EXPECT_THAT(SplitString(",a,", ","), ElementsAre("", "a", ""));
  EXPECT_THAT(SplitString("a;b,c", ",;"), ElementsAre("a", "b", "c"));
}

TEST(DaysToDate, ConvertsDaysSinceEpoch) {
  const struct {
    int64_t days;
    int year, month, day;
  } cases[] = {
      {0, 1970, 0, 0}, {11016, 2000, 1, 28}, {11017, 2000, 2, 0}, {19753, 2024, 0, 30}, {-1, 1969, 11, 30},
  };
  for (const auto& c : cases) {
    int year, month, day;
    DaysToDate(c.days, year, month, day);
    EXPECT_EQ(year, c.year) << c.days;
    EXPECT_EQ(month, c.month) << c.days;
    EXPECT_EQ(day, c.day) << c.days;
  }
}

TEST(CurrentTime, UnitsAgree) {
  const int64_t us = CurrentTimeUs();
  const int64_t ms = CurrentTimeMs();
  const int64_t s = CurrentTime().value;
  EXPECT_GT(s, 1600000000);
  EXPECT_LE(us / 1000, ms);
  EXPECT_LE(ms / 1000, s);
  EXPECT_LE(s - us / 1000000, 1);
}

}  // namespace
}  // namespace OST
