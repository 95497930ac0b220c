// Snapshots: the stored listing form, lookups, damaged files, and the
// read-only filesystem over a snapshot with contents from real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/serialize.h"
#include "core/text.h"
#include "fs/chroot_fs.h"
#include "fs/fs_native.h"
#include "fs/snap_dir.h"
#include "fs/snap_fs.h"
#include "io/fixed_buffer.h"
#include "io/string_writer.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using testutil::CatchError;
using testutil::DetailPairs;

constexpr uint32_t kFile = FLAG_WRITE;

Stat FileStat(int64_t size, int64_t time = 1000) {
  return Stat(kFile, size, AccessTime(time), ModifyTime(time + 1), ChangeTime(time + 2));
}
Stat DirStat(int64_t time = 2000) { return Stat(FLAG_DIR, 0, AccessTime(time), ModifyTime(time), ChangeTime(time)); }

// Byte-level writer for snapshot streams, so tests can also build forms the
// SnapDir API would never produce.
struct Form {
  std::string bytes;
  Form& Count(int32_t n) {
    StringWriter w(bytes);
    Serializer::Store(w, n);
    return *this;
  }
  Form& Add(const std::u32string& name, const Stat& stat) {
    StringWriter w(bytes);
    Entry(Path(std::u32string(name), name.empty() ? 0 : 1), stat).StoreTo(w);
    return *this;
  }
  // A raw Path form with the given text and level count.
  Form& AddRaw(const std::string& text, int8_t levels, const Stat& stat) {
    StringWriter w(bytes);
    Serializer::Store(w, text);
    Serializer::Store(w, levels);
    stat.StoreTo(w);
    return *this;
  }
};

std::string Store(const SnapDir& dir) {
  std::string bytes;
  StringWriter w(bytes);
  dir.StoreTo(w);
  return bytes;
}

SnapDir Load(const std::string& bytes) {
  testutil::ScriptedSource source({bytes});
  return SnapDir(source);
}

testutil::CaughtError LoadError(const std::string& bytes) {
  return CatchError([&] { Load(bytes); });
}

// The tree: a (directory holding b), then c.
std::string SmallTreeForm() {
  return Form().Count(2).Add(U"a", DirStat()).Count(1).Add(U"b", FileStat(5)).Add(U"c", FileStat(7)).bytes;
}

TEST(SnapDirForm, EmptyStreamOfCountZeroIsAnEmptySnapshot) {
  const SnapDir dir = Load(Form().Count(0).bytes);
  EXPECT_TRUE(dir.ReadDir(Path()).empty());
  EXPECT_EQ(Store(dir), Form().Count(0).bytes);
  const auto caught = CatchError([&] { dir.GetStat(U"x"); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Path not found");
}

TEST(SnapDirForm, DepthFirstLayoutRoundTrips) {
  // Built through the API, the tree stores as the hand-made form...
  SnapDir a;
  a.Add(Entry(U"b", FileStat(5)));
  SnapDir top;
  top.Add(Entry(U"a", DirStat()), std::move(a));
  top.Add(Entry(U"c", FileStat(7)));
  EXPECT_EQ(Store(top), SmallTreeForm());
  // ...and loading that form and storing it again gives the same bytes.
  const SnapDir loaded = Load(SmallTreeForm());
  EXPECT_EQ(Store(loaded), SmallTreeForm());
  EXPECT_EQ(loaded.GetStat(U"a/b"), FileStat(5));
  EXPECT_EQ(loaded.GetStat(U"c"), FileStat(7));
  EXPECT_EQ(loaded.GetStat(U"a"), DirStat());
}

TEST(SnapDirForm, DirectoryEntryWithoutListingStoresAnEmptyOne) {
  SnapDir top;
  top.Add(Entry(U"d", DirStat()));
  EXPECT_EQ(Store(top), Form().Count(1).Add(U"d", DirStat()).Count(0).bytes);
}

// A random tree with the names of each directory in Path order, checked
// against a plain list of (path, stat) pairs.
struct Model {
  std::vector<std::pair<Path, Stat>> paths;
};

SnapDir RandomTree(std::mt19937& rng, const Path& at, int depth, Model& model) {
  SnapDir dir;
  std::vector<Entry> entries;
  const int count = std::uniform_int_distribution<int>(0, depth == 0 ? 8 : 4)(rng);
  for (int i = 0; i < count; ++i) {
    const std::u32string name = U"n" + string8to32(std::to_string(rng() % 1000));
    const bool isDir = depth < 4 && rng() % 3 == 0;
    entries.emplace_back(Path(name), isDir ? DirStat(rng() % 5000) : FileStat(rng() % 100000, rng() % 5000));
  }
  std::sort(entries.begin(), entries.end(), EntryNameLess);
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const Entry& x, const Entry& y) { return x.name == y.name; }),
                entries.end());
  for (const Entry& e : entries) {
    const Path path = at.Join(e.name);
    model.paths.emplace_back(path, e.stat);
    if (e.stat.flags & FLAG_DIR) {
      dir.Add(e, RandomTree(rng, path, depth + 1, model));
    } else {
      dir.Add(e);
    }
  }
  return dir;
}

TEST(SnapDirForm, RandomTreesRoundTripAndFindEveryPath) {
  std::mt19937 rng(::testing::UnitTest::GetInstance()->random_seed());
  for (int round = 0; round < 20; ++round) {
    Model model;
    const SnapDir built = RandomTree(rng, Path(), 0, model);
    const std::string bytes = Store(built);
    const SnapDir loaded = Load(bytes);
    ASSERT_EQ(Store(loaded), bytes) << "round " << round;
    for (const auto& [path, stat] : model.paths) {
      EXPECT_EQ(loaded.GetStat(path), stat) << path.ToString();
      if (stat.flags & FLAG_DIR) {
        EXPECT_NE(loaded.FindDir(path), nullptr) << path.ToString();
      }
    }
    EXPECT_EQ(loaded.ReadDir(Path()), built.ReadDir(Path()));
  }
}

TEST(SnapDirDamage, EveryShorterPrefixFailsAndLeavesTheTreeUnchanged) {
  const std::string full = SmallTreeForm();
  for (size_t length = 0; length < full.size(); ++length) {
    SnapDir dir = Load(Form().Count(1).Add(U"keep", FileStat(1)).bytes);
    testutil::ScriptedSource source({full.substr(0, length)});
    const auto caught = CatchError([&] { dir.LoadFrom(source); });
    ASSERT_TRUE(caught.thrown) << length;
    EXPECT_EQ(caught.code, E_PIPE) << length;
    EXPECT_EQ(caught.text, "End of stream reached") << length;
    ASSERT_EQ(dir.Entries().size(), 1u) << length;
    EXPECT_EQ(dir.Entries()[0].name, Path(U"keep")) << length;
  }
}

TEST(SnapDirDamage, UntrustedFormsFailAsLoadErrors) {
  std::string deep33 = Form().Count(1).bytes;
  for (int i = 0; i < 33; ++i) deep33 += Form().Add(U"d", DirStat()).Count(1).bytes;
  deep33 += Form().Add(U"f", FileStat(1)).bytes;
  std::string deepMany = Form().Count(1).bytes;
  for (int i = 0; i < 100000; ++i) deepMany += Form().Add(U"d", DirStat()).Count(1).bytes;
  const struct {
    const char* what;
    std::string bytes;
    uint32_t code;
    std::string text;
  } cases[] = {
      {"negative top count", Form().Count(-1).bytes, E_INVAL, "Invalid snapshot entry count"},
      {"negative nested count", Form().Count(1).Add(U"a", DirStat()).Count(INT32_MIN).bytes, E_INVAL,
       "Invalid snapshot entry count"},
      {"huge count, one entry", Form().Count(INT32_MAX).Add(U"a", FileStat(1)).bytes, E_PIPE, "End of stream reached"},
      {"huge nested count", Form().Count(1).Add(U"a", DirStat()).Count(INT32_MAX).bytes, E_PIPE,
       "End of stream reached"},
      {"33 levels", deep33, E_INVAL, "Snapshot nesting is too deep"},
      {"100000 levels", deepMany, E_INVAL, "Snapshot nesting is too deep"},
      {"two-level name", Form().Count(1).AddRaw("a/b", 2, FileStat(1)).bytes, E_INVAL, "Invalid snapshot entry name"},
      {"root name", Form().Count(1).AddRaw("", 0, FileStat(1)).bytes, E_INVAL, "Invalid snapshot entry name"},
      {"dots", Form().Count(1).AddRaw("..", 1, DirStat()).Count(0).bytes, E_INVAL, ""},
      {"levels not matching", Form().Count(1).AddRaw("a/b", 1, FileStat(1)).bytes, E_INVAL, ""},
      {"huge name length", Form().Count(1).bytes + std::string("\xff\xff\xff\x7f", 4) + "ab", E_PIPE,
       "End of stream reached"},
  };
  for (const auto& c : cases) {
    const auto caught = LoadError(c.bytes);
    ASSERT_TRUE(caught.thrown) << c.what;
    EXPECT_EQ(caught.code, c.code) << c.what << "\n" << caught.full;
    if (!c.text.empty()) {
      EXPECT_EQ(caught.text, c.text) << c.what;
    }
  }
}

TEST(SnapDirForm, ThirtyTwoLevelsLoadAndTheDeepestListingIsReachable) {
  std::string bytes = Form().Count(1).bytes;
  std::u32string deepest;
  for (int i = 0; i < 32; ++i) {
    bytes += Form().Add(U"d", DirStat()).Count(1).bytes;
    deepest += (i ? U"/d" : U"d");
  }
  bytes += Form().Add(U"f", FileStat(3)).bytes;
  const SnapDir dir = Load(bytes);
  EXPECT_EQ(Store(dir), bytes);
  const std::vector<Entry> listing = dir.ReadDir(Path(deepest));
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].name, Path(U"f"));
}

TEST(SnapDirForm, RepeatedDirectoryNameKeepsTheFirstListing) {
  const std::string bytes = Form()
                                .Count(3)
                                .Add(U"a", DirStat(1))
                                .Count(1)
                                .Add(U"first", FileStat(1))
                                .Add(U"a", DirStat(2))
                                .Count(2)
                                .Add(U"second", FileStat(2))
                                .Add(U"x", DirStat())
                                .Count(1)
                                .Add(U"y", FileStat(9))
                                .Add(U"z", FileStat(3))
                                .bytes;
  const SnapDir dir = Load(bytes);
  ASSERT_EQ(dir.Entries().size(), 3u);  // both entries named a are listed
  EXPECT_EQ(dir.ReadDir(U"a"), std::vector<Entry>{Entry(U"first", FileStat(1))});
  EXPECT_EQ(dir.FindStat(U"a/x"), std::nullopt);  // the dropped listing's directory went with it
  EXPECT_EQ(dir.GetStat(U"z"), FileStat(3));
}

TEST(SnapDirLookups, StoredOrderAndLowerBoundSearch) {
  // Stored out of name order: c before a.
  const SnapDir dir =
      Load(Form().Count(3).Add(U"c", FileStat(3)).Add(U"a", FileStat(1)).Add(U"b", DirStat()).Count(0).bytes);
  const std::vector<Entry> listing = dir.ReadDir(Path());
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0].name, Path(U"c"));
  EXPECT_EQ(listing[1].name, Path(U"a"));
  // The halving search looks at a, then b, and never reaches c.
  EXPECT_EQ(dir.FindStat(U"c"), std::nullopt);
  EXPECT_EQ(dir.GetStat(U"b"), DirStat());

  const struct {
    std::u32string path;
    uint32_t code;
    const char* text;
    DetailPairs details;
  } errors[] = {
      {U"", E_INVAL, "No stat for the root directory", {}},
      {U"zz", E_NOENT, "Path not found", {}},
      {U"a/inside", E_NOENT, "Path not found", {}},  // a is a file
  };
  for (const auto& e : errors) {
    const auto caught = CatchError([&] { dir.GetStat(Path(e.path)); });
    EXPECT_EQ(caught.code, e.code) << string32to8(e.path);
    EXPECT_EQ(caught.text, e.text) << string32to8(e.path);
    EXPECT_EQ(caught.details, e.details) << string32to8(e.path);
  }
  const auto caught = CatchError([&] { dir.ReadDir(U"a"); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Directory not found");
  EXPECT_EQ(caught.details, (DetailPairs{{"path", "a"}}));
}

// A snapshot over real files: a/b and c recorded; the contents directory
// holds a/b, c (now longer than recorded) and extra, which is not recorded.
class SnapFilesystemTest : public ::testing::Test {
 protected:
  SnapFilesystemTest()
      : contents_(native_, Path::FromUtf8(temp_.path()), false), dir_(Load(SmallTreeForm())), snap_(contents_, dir_) {
    std::filesystem::create_directory(temp_.path() + "/a");
    temp_.WriteFile("a/b", "hello");
    temp_.WriteFile("c", "now longer");
    temp_.WriteFile("extra", "x");
  }

  std::string ReadAll(const Path& path) {
    std::unique_ptr<File> file = snap_.Open(path, File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
    std::string text(64, '\0');
    text.resize(file->ReadAt(0, File::ORIGIN_SET, text.data(), 64));
    return text;
  }

  testutil::TempDir temp_;
  NativeFilesystem native_;
  ChrootFilesystem contents_;
  SnapDir dir_;
  SnapFilesystem snap_;
};

TEST_F(SnapFilesystemTest, ListingsAndStatsComeFromTheSnapshot) {
  const int64_t before = CurrentTime().value;
  SnapFilesystem fresh(contents_, dir_);
  const int64_t after = CurrentTime().value;
  const Stat root = fresh.GetStat(Path());
  EXPECT_EQ(root.flags, uint32_t{FLAG_DIR});
  EXPECT_EQ(root.size, 0);
  EXPECT_GE(root.mtime.value, before);
  EXPECT_LE(root.mtime.value, after);
  EXPECT_EQ(root.atime.value, root.mtime.value);
  EXPECT_EQ(root.ctime.value, root.mtime.value);

  EXPECT_EQ(snap_.ReadDir(Path()), (std::vector<Entry>{Entry(U"a", DirStat()), Entry(U"c", FileStat(7))}));
  EXPECT_EQ(snap_.ReadDir(U"a"), std::vector<Entry>{Entry(U"b", FileStat(5))});
  EXPECT_EQ(snap_.GetStat(U"c"), FileStat(7));  // the recorded size, not today's

  const auto caught = CatchError([&] { snap_.GetStat(U"extra"); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Path not found");
  EXPECT_EQ(caught.details, (DetailPairs{{"path", "extra"}}));
  EXPECT_EQ(CatchError([&] { snap_.ReadDir(U"c"); }).text, "Directory not found");
}

TEST_F(SnapFilesystemTest, OpenReadsRecordedFilesFromTheContents) {
  EXPECT_EQ(ReadAll(U"a/b"), "hello");
  EXPECT_EQ(ReadAll(U"c"), "now longer");

  std::filesystem::remove(temp_.path() + "/a/b");
  const struct {
    std::u32string path;
    File::Mode mode;
    File::Access access;
    uint32_t code;
    const char* text;
  } cases[] = {
      {U"a/b", File::MODE_OPEN_EXISTING, File::ACCESS_RO, E_NOENT, "Could not open file"},  // gone from the contents
      {U"extra", File::MODE_OPEN_EXISTING, File::ACCESS_RO, E_NOENT, "File not found"},     // not recorded
      {U"c", File::MODE_OPEN_EXISTING, File::ACCESS_RW, E_ACCES, "Read only filesystem"},
      {U"c", File::MODE_OPEN_EXISTING, File::ACCESS_WO, E_ACCES, "Read only filesystem"},
      {U"c", File::MODE_OPEN_ALWAYS, File::ACCESS_RO, E_ACCES, "Read only filesystem"},
      {U"new", File::MODE_CREATE_NEW, File::ACCESS_RO, E_ACCES, "Read only filesystem"},
      {U"", File::MODE_OPEN_EXISTING, File::ACCESS_RO, E_INVAL, "No stat for the root directory"},
  };
  for (const auto& c : cases) {
    const auto caught = CatchError([&] { snap_.Open(Path(c.path), c.mode, c.access, 0); });
    EXPECT_EQ(caught.code, c.code) << string32to8(c.path) << "\n" << caught.full;
    EXPECT_EQ(caught.text, c.text) << string32to8(c.path);
    ASSERT_FALSE(caught.details.empty());
    EXPECT_EQ(caught.details.back(), (std::pair<std::string, std::string>("path", string32to8(c.path))));
  }
  EXPECT_FALSE(std::filesystem::exists(temp_.path() + "/new"));
}

TEST_F(SnapFilesystemTest, EveryChangeIsRefusedEvenForRecordedPaths) {
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"MakeDir", [&] { snap_.MakeDir(U"a/new"); }},
      {"RemoveDir", [&] { snap_.RemoveDir(U"a"); }},
      {"Delete", [&] { snap_.Delete(U"c"); }},
      {"Rename", [&] { snap_.Rename(U"c", U"d", 0); }},
      {"SetTimes", [&] { snap_.SetTimes(U"c", AccessTime(1), ModifyTime(1)); }},
      {"SetFlags", [&] { snap_.SetFlags(U"c", 0); }},
  };
  for (const auto& [name, change] : changes) {
    const auto caught = CatchError(change);
    EXPECT_EQ(caught.code, E_ACCES) << name;
    EXPECT_EQ(caught.text, "Read only filesystem") << name;
  }
  EXPECT_TRUE(std::filesystem::exists(temp_.path() + "/c"));
  EXPECT_FALSE(std::filesystem::exists(temp_.path() + "/a/new"));
}

TEST(SnapFilesystem2, OwnsItsSnapshotAndRefusesNone) {
  NativeFilesystem native;
  auto dir = std::make_unique<SnapDir>(Load(SmallTreeForm()));
  SnapFilesystem2 snap(native, std::move(dir));
  EXPECT_EQ(snap.GetStat(U"a/b"), FileStat(5));
  const auto caught = CatchError([&] { SnapFilesystem2(native, nullptr); });
  EXPECT_EQ(caught.code, E_INVAL);
  EXPECT_EQ(caught.text, "Snapshot is missing");
}

}  // namespace
}  // namespace OST
