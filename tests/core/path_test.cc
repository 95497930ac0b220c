#include "core/path.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/error.h"
#include "core/text.h"

namespace OST {
namespace {

std::u32string Repeat(const std::u32string& piece, int n, const std::u32string& separator = U"/") {
  std::u32string out;
  for (int i = 0; i < n; ++i) out += (i ? separator : U"") + piece;
  return out;
}

TEST(PathNormalisation, AcceptedInputs) {
  const struct {
    std::u32string input;
    std::u32string text;
    int levels;
  } cases[] = {
      {U"", U"", 0},
      {U"/", U"", 0},
      {U"//", U"", 0},
      {U"\\\\?\\", U"", 0},
      {U"/a//b/", U"a/b", 2},
      {U"\\a\\b", U"a/b", 2},
      {U"//?/a", U"a", 1},
      {U"C:/Users", U"C/Users", 2},
      {U"a/.../b", U"a/.../b", 3},
      {U".profile", U".profile", 1},
      {std::u32string(255, U'n'), std::u32string(255, U'n'), 1},
      {Repeat(U"x", 32), Repeat(U"x", 32), 32},
  };
  for (const auto& c : cases) {
    const Path p(c.input);
    EXPECT_EQ(p.ToString32(), c.text) << string32to8(c.input);
    EXPECT_EQ(p.Levels(), c.levels) << string32to8(c.input);
  }
}

TEST(PathNormalisation, RefusedInputs) {
  const struct {
    std::u32string input;
    uint32_t code;
    const char* message;
    const char* pathDetail;  // nullptr: no path detail expected
  } cases[] = {
      {U"x/C:", E_INVAL, "Unsupported character in the path", "x/C:"},
      {U"a:b", E_INVAL, "Unsupported character in the path", "a:b"},
      {U"C:x", E_INVAL, "Unsupported character in the path", "C:x"},
      {U"a/b?/c", E_INVAL, "Unsupported character in the path", "a/b?"},
      {U"a/./b", E_INVAL, "Unresolved path with dots", nullptr},
      {U"a/../b", E_INVAL, "Unresolved path with dots", nullptr},
      {U"a/t\tb/c", E_INVAL, "Invalid character code below 0x20 in the path", "a/t\tb"},
      {std::u32string(256, U'n'), E_INVAL, "Name component is too long", nullptr},
      {Repeat(U"x", 33), E_MFILE, "Too many path levels", nullptr},
      {Repeat(U"x", 256), E_MFILE, "Too many path levels", nullptr},
  };
  for (const auto& c : cases) {
    try {
      Path p(c.input);
      ADD_FAILURE() << string32to8(c.input);
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), c.code) << string32to8(c.input);
      EXPECT_EQ(e.Text(), c.message) << string32to8(c.input);
      const auto pairs = e.Pairs();
      if (c.pathDetail) {
        EXPECT_EQ(pairs.at(0), std::make_pair(std::string("path"), std::string(c.pathDetail)));
      } else {
        EXPECT_EQ(pairs.at(0).first, "in");
      }
    }
  }
}

TEST(PathOrder, LevelsFirstThenCodePoints) {
  EXPECT_LT(Path(U"b"), Path(U"a/a"));
  EXPECT_LT(Path(U"a"), Path(U"b"));
  EXPECT_LT(Path(U"a"), Path(U"ab"));
  EXPECT_LT(Path(U"Z"), Path(U"a"));
  EXPECT_LT(Path(U"a"), Path(U"\U0001F600"));  // unsigned comparison
  EXPECT_FALSE(Path(U"a") < Path(U"a"));
  EXPECT_EQ(Path(U"/a/b"), Path(U"a\\b"));
  EXPECT_NE(Path(U"a"), Path(U"a", 2));
}

TEST(PathOperations, JoinAppendLastParent) {
  EXPECT_EQ(Path(U"a/b").Join(Path()), Path(U"a/b"));
  EXPECT_EQ(Path().Join(Path(U"x")), Path(U"x"));
  EXPECT_EQ(Path(U"a").Join(Path(U"b/c")).Levels(), 3);
  const Path twenty(Repeat(U"d", 20));
  try {
    twenty.Join(twenty);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Text(), "Too many path levels");
  }
  EXPECT_EQ(Path(U"a/b/c").Last(), Path(U"c"));
  EXPECT_EQ(Path(U"c").Last(), Path(U"c"));
  EXPECT_EQ(Path().Last(), Path());
  EXPECT_EQ(Path(U"a/b/c").Parent(), Path(U"a/b"));
  EXPECT_EQ(Path(U"a").Parent(), Path());
  EXPECT_THROW(Path().Parent(), Error);
}

TEST(PathOperations, Split) {
  Path p(U"a/b/c");
  const Path rest = p.Split(1);
  EXPECT_EQ(p, Path(U"a"));
  EXPECT_EQ(rest, Path(U"b/c"));
  EXPECT_EQ(rest.Levels(), 2);

  Path whole(U"a/b");
  EXPECT_EQ(whole.Split(0), Path(U"a/b"));
  EXPECT_TRUE(whole.Empty());

  Path same(U"a/b");
  EXPECT_TRUE(same.Split(2).Empty());
  EXPECT_EQ(same, Path(U"a/b"));

  Path middle(U"a/b/c/d");
  EXPECT_EQ(middle.Split(3), Path(U"d"));
  EXPECT_EQ(middle, Path(U"a/b/c"));

  for (int bad : {-1, 3}) {
    Path q(U"a/b");
    try {
      q.Split(bad);
      ADD_FAILURE() << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.Text(), "Invalid path split level");
    }
  }
  Path root;
  EXPECT_THROW(root.Split(1), Error);
}

TEST(PathOperations, Ext) {
  EXPECT_EQ(Path(U"a.tar.gz").Ext(), Path(U"gz"));
  EXPECT_TRUE(Path(U"name").Ext().Empty());
  const Path dotEnd = Path(U"name.").Ext();
  EXPECT_EQ(dotEnd.Levels(), 1);
  EXPECT_TRUE(dotEnd.ToString32().empty());
  try {
    Path(U"a/b.c").Ext();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Text(), "Invalid filename to get extension");
  }
}

TEST(PathText, Forms) {
  EXPECT_EQ(Path(U"a/b").ToUnix8(), "/a/b");
  EXPECT_EQ(Path().ToUnix8(), "/");
  EXPECT_EQ(Path(U"a/b").ToString(), "a/b");
  EXPECT_EQ(Path(U"\u00e9").ToNative8(), "/\xc3\xa9");
  EXPECT_EQ(Path::FromUtf8("x/\xc3\xa9"), Path(U"x/\u00e9"));
}

}  // namespace
}  // namespace OST
