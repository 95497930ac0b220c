// Share filesystems over real directories: rights through the chroot, the
// snapshot scan with its mount names and failure rules, and the loopback
// filesystem's link.
#include "fs/share_fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/serialize.h"
#include "core/text.h"
#include "fs/snap_dir.h"
#include "io/string_writer.h"
#include "util/catch_error.h"
#include "util/process.h"

namespace OST {
namespace {

using testutil::ReadHostFile;

using testutil::CatchError;

std::string SnapshotBytes(const SnapDir& dir) {
  std::string bytes;
  StringWriter writer(bytes);
  dir.StoreTo(writer);
  return bytes;
}

// A valid snapshot listing one file, `name`, of the given size.
std::string OneFileSnapshot(const std::u32string& name, int64_t size) {
  SnapDir dir;
  dir.Add(Entry(Path(name), Stat(FLAG_WRITE, size, AccessTime(1), ModifyTime(2), ChangeTime(3))));
  return SnapshotBytes(dir);
}

std::string Int32(int32_t v) {
  std::string bytes;
  StringWriter writer(bytes);
  Serializer::Store(writer, v);
  return bytes;
}

std::vector<std::string> Names(const std::vector<Entry>& entries) {
  std::vector<std::string> names;
  for (const Entry& e : entries) names.push_back(e.name.ToString());
  return names;
}

class ShareFilesystemTest : public ::testing::Test {
 protected:
  // Makes a host directory below the temporary directory.
  std::string Dir(const std::string& name) {
    const std::string path = temp_.path() + "/" + name;
    std::filesystem::create_directories(path);
    return path;
  }
  ShareCfg Share(const std::string& name, const std::string& dir, bool write) {
    return ShareCfg{Path::FromUtf8(name), Path::FromUtf8(temp_.path() + "/" + dir), write};
  }

  testutil::TempDir temp_;
};

TEST_F(ShareFilesystemTest, RightsFollowTheShareThroughTheChroot) {
  Dir("docs");
  Dir("pics");
  temp_.WriteFile("pics/p.jpg", "picture");
  ShareFilesystem shares({Share("pics", "pics", false), Share("docs", "docs", true)});

  EXPECT_EQ(Names(shares.ReadDir(Path())), (std::vector<std::string>{"docs", "pics"}));
  EXPECT_EQ(Names(shares.ReadDir(U"pics")), std::vector<std::string>{"p.jpg"});

  // Writing under docs reaches the host directory.
  shares.Open(U"docs/new.txt", File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE)->Write("text", 4);
  EXPECT_EQ(ReadHostFile(temp_.path() + "/docs/new.txt"), "text");
  shares.MakeDir(U"docs/sub");
  EXPECT_TRUE(std::filesystem::is_directory(temp_.path() + "/docs/sub"));

  // Every change under pics is refused; reading is not.
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"create", [&] { shares.Open(U"pics/new", File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE); }},
      {"write", [&] { shares.Open(U"pics/p.jpg", File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0); }},
      {"mkdir", [&] { shares.MakeDir(U"pics/sub"); }},
      {"delete", [&] { shares.Delete(U"pics/p.jpg"); }},
      {"rename", [&] { shares.Rename(U"pics/p.jpg", U"pics/q.jpg", 0); }},
      {"times", [&] { shares.SetTimes(U"pics/p.jpg", AccessTime(1), ModifyTime(1)); }},
      {"flags", [&] { shares.SetFlags(U"pics/p.jpg", FLAG_WRITE); }},
  };
  for (const auto& [what, change] : changes) {
    const auto caught = CatchError(change);
    EXPECT_EQ(caught.code, E_ACCES) << what;
    EXPECT_EQ(caught.text, "Read only filesystem") << what;
  }
  EXPECT_EQ(ReadHostFile(temp_.path() + "/pics/p.jpg"), "picture");
  EXPECT_FALSE(std::filesystem::exists(temp_.path() + "/pics/new"));

  // Moving between shares is a move between mount points.
  EXPECT_EQ(CatchError([&] { shares.Rename(U"docs/new.txt", U"pics/new.txt", 0); }).code, E_XDEV);
}

TEST_F(ShareFilesystemTest, ShareNamesThatCannotBeMountedFailTheConstructor) {
  Dir("a");
  const struct {
    const char* what;
    std::vector<ShareCfg> shares;
    uint32_t code;
    const char* text;
  } cases[] = {
      {"twice", {Share("x", "a", false), Share("x", "a", true)}, E_EXIST, "Mount point already exists"},
      {"empty", {ShareCfg{Path(), Path::FromUtf8(temp_.path()), false}}, E_INVAL, "Mount point name is invalid"},
      {"two levels", {Share("x/y", "a", false)}, E_INVAL, "Mount point name is invalid"},
  };
  for (const auto& c : cases) {
    const auto caught = CatchError([&] { ShareFilesystem shares(c.shares); });
    EXPECT_EQ(caught.code, c.code) << c.what;
    EXPECT_EQ(caught.text, c.text) << c.what;
  }
}

TEST_F(ShareFilesystemTest, MissingShareDirectoryIsMountedButFailsToStat) {
  Dir("here");
  ShareFilesystem shares({Share("gone", "gone", false), Share("here", "here", false)});
  const auto stat = CatchError([&] { shares.GetStat(U"gone"); });
  EXPECT_EQ(stat.code, E_NOENT);
  EXPECT_EQ(stat.text, "Could not get file stat");
  const auto listing = CatchError([&] { shares.ReadDir(Path()); });
  EXPECT_EQ(listing.text, "Could not get file stat");
  EXPECT_TRUE(shares.ReadDir(U"here").empty());
}

TEST_F(ShareFilesystemTest, SnapshotsAreMountedBesideTheirShare) {
  Dir("docs");
  Dir("pics");
  Dir("docs/old.snap");  // a directory, not a snapshot
  temp_.WriteFile("docs/report.txt", "current report");
  temp_.WriteFile("docs/week.snap", OneFileSnapshot(U"report.txt", 6));
  temp_.WriteFile("docs/notes.SNAP", OneFileSnapshot(U"report.txt", 6));
  temp_.WriteFile("docs/snap", OneFileSnapshot(U"report.txt", 6));
  ShareFilesystem shares({Share("docs", "docs", true), Share("pics", "pics", false)});

  EXPECT_EQ(Names(shares.ReadDir(Path())), (std::vector<std::string>{"docs", "docs.week", "pics"}));
  // The snapshot shows the recorded listing, with today's contents.
  const std::vector<Entry> listing = shares.ReadDir(U"docs.week");
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].stat.size, 6);
  std::string text(64, '\0');
  auto file = shares.Open(U"docs.week/report.txt", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  text.resize(file->ReadAt(0, File::ORIGIN_SET, text.data(), 64));
  EXPECT_EQ(text, "current report");
  // It is read-only even though its share is writable, and the snapshot
  // file stays visible inside the share.
  EXPECT_EQ(CatchError([&] { shares.Delete(U"docs.week/report.txt"); }).text, "Read only filesystem");
  EXPECT_EQ(shares.GetStat(U"docs/week.snap").flags & FLAG_DIR, 0u);

  // A snapshot file added later is not shown by this share filesystem.
  temp_.WriteFile("docs/later.snap", OneFileSnapshot(U"x", 1));
  EXPECT_EQ(CatchError([&] { shares.GetStat(U"docs.later"); }).text, "Mount point not found");
}

TEST_F(ShareFilesystemTest, DamagedSnapshotEndsTheScanOfItsShareOnly) {
  Dir("docs");
  Dir("pics");
  std::string deep = Int32(1);
  for (int i = 0; i < 40; ++i) {
    SnapDir one;
    one.Add(Entry(U"d", Stat()));
    const std::string form = SnapshotBytes(one);  // count 1, entry d, count 0
    deep += form.substr(4, form.size() - 8) + Int32(1);
  }
  const std::string truncated = OneFileSnapshot(U"f", 1).substr(0, 10);
  const std::string damaged[] = {truncated, Int32(-5), Int32(INT32_MAX) + truncated.substr(4), deep, ""};
  for (size_t kind = 0; kind < std::size(damaged); ++kind) {
    for (const char* name : {"a", "b", "c", "d"}) std::filesystem::remove(temp_.path() + "/docs/" + name + ".snap");
    temp_.WriteFile("docs/a.snap", OneFileSnapshot(U"x", 1));
    temp_.WriteFile("docs/b.snap", damaged[kind]);
    temp_.WriteFile("docs/c.snap", OneFileSnapshot(U"x", 1));
    temp_.WriteFile("docs/d.snap", OneFileSnapshot(U"x", 1));
    temp_.WriteFile("pics/p.snap", OneFileSnapshot(U"x", 1));

    // The scan takes files in host listing order: the ones before the
    // damaged file are mounted, the ones after it are not looked at.
    NativeFilesystem native;
    std::vector<std::string> expected = {"docs", "pics", "pics.p"};
    for (const Entry& e : native.ReadDir(Path::FromUtf8(temp_.path() + "/docs"))) {
      const std::string name = e.name.ToString();
      if (name == "b.snap") break;
      expected.push_back("docs." + name.substr(0, 1));
    }
    std::sort(expected.begin(), expected.end(), [](const std::string& x, const std::string& y) {
      return Path::FromUtf8(x) < Path::FromUtf8(y);
    });
    ShareFilesystem shares({Share("docs", "docs", false), Share("pics", "pics", false)});
    EXPECT_EQ(Names(shares.ReadDir(Path())), expected) << "damage " << kind;
  }
}

TEST_F(ShareFilesystemTest, ShareNamedLikeAnEarlierSnapshotMountFails) {
  Dir("a");
  Dir("other");
  temp_.WriteFile("a/b.snap", OneFileSnapshot(U"x", 1));
  const auto caught = CatchError([&] { ShareFilesystem({Share("a", "a", false), Share("a.b", "other", false)}); });
  EXPECT_EQ(caught.code, E_EXIST);
  EXPECT_EQ(caught.text, "Mount point already exists");

  // The other way round, only the snapshot is left out.
  temp_.WriteFile("other/o.txt", "o");
  ShareFilesystem shares({Share("a.b", "other", false), Share("a", "a", false)});
  EXPECT_EQ(Names(shares.ReadDir(Path())), (std::vector<std::string>{"a", "a.b"}));
  EXPECT_EQ(Names(shares.ReadDir(U"a.b")), std::vector<std::string>{"o.txt"});
}

TEST_F(ShareFilesystemTest, ConcurrentReadersSeeTheSameTree) {
  Dir("docs");
  temp_.WriteFile("docs/f.txt", "contents");
  temp_.WriteFile("docs/s.snap", OneFileSnapshot(U"f.txt", 8));
  const ShareCfg share = Share("docs", "docs", false);
  ShareFilesystem shares({share});
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::vector<std::future<int>> results;
  for (int t = 0; t < kThreads; ++t) {
    results.push_back(std::async(std::launch::async, [&] {
      start.arrive_and_wait();
      int good = 0;
      for (int i = 0; i < 50; ++i) {
        const Path path = i % 2 ? Path(U"docs/f.txt") : Path(U"docs.s/f.txt");
        std::string text(16, '\0');
        auto file = shares.Open(path, File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
        text.resize(file->ReadAt(0, File::ORIGIN_SET, text.data(), 16));
        if (text == "contents" && shares.ReadDir(Path()).size() == 2 && shares.GetStat(path).size == 8) ++good;
      }
      return good;
    }));
  }
  for (auto& r : results) EXPECT_EQ(r.get(), 50);
}

TEST_F(ShareFilesystemTest, LoopbackLinkFailsOnceTheLoopbackIsGone) {
  Dir("docs");
  temp_.WriteFile("docs/f", "x");
  std::shared_ptr<FilesystemLink> link;
  {
    LoopbackFilesystem loopback;
    loopback.Mount(U"alice", std::make_unique<ShareFilesystem>(std::vector<ShareCfg>{Share("docs", "docs", false)}));
    loopback.Mount(U"bob", std::make_unique<ShareFilesystem>(std::vector<ShareCfg>{}));
    const auto again = CatchError([&] {
      loopback.Mount(U"bob", std::make_unique<ShareFilesystem>(std::vector<ShareCfg>{}));
    });
    EXPECT_EQ(again.text, "Mount point already exists");
    const auto invalid = CatchError([&] {
      loopback.Mount(Path(), std::make_unique<ShareFilesystem>(std::vector<ShareCfg>{}));
    });
    EXPECT_EQ(invalid.text, "Mount point name is invalid");
    link = loopback.Link();
    EXPECT_EQ(Names(link->ReadDir(Path())), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(Names(link->ReadDir(U"alice/docs")), std::vector<std::string>{"f"});
  }
  const auto caught = CatchError([&] { link->ReadDir(Path()); });
  EXPECT_EQ(caught.code, E_BADF);
  EXPECT_EQ(caught.text, "Object doesn't exist");
}

}  // namespace
}  // namespace OST
