// BridgeFilesystem and its parts: the wildcard matcher, the ban list,
// forged names, postponed opens, the descriptor table and its locking.
#include "front/bridge_fs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "core/text.h"
#include "fs/chroot_fs.h"
#include "fs/fs_native.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/recording_fs.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testutil::CatchError;
using testutil::DetailPairs;

// ---- Match and the ban list ----

TEST(BridgeMatch, WildcardTable) {
  struct Case {
    const char32_t* text;
    const char32_t* pattern;
    bool match;
  };
  const Case cases[] = {
      {U"AUTORUN.INF", U"AUTORUN.INF", true},
      {U"AUTORUN.INFX", U"AUTORUN.INF", false},
      {U"AUTORUN.IN", U"AUTORUN.INF", false},
      {U".SPOTLIGHT-V100", U".*SPOTLIGHT*", true},
      {U".SPOTLIGHT", U".*SPOTLIGHT*", true},
      {U".MY-SPOTLIGHT-X", U".*SPOTLIGHT*", true},
      {U"X.SPOTLIGHT", U".*SPOTLIGHT*", false},
      {U".SPOTLIGH", U".*SPOTLIGHT*", false},
      {U"abc", U"a?c", true},
      {U"ac", U"a?c", false},
      {U"a", U"a?", false},
      {U"", U"*", true},
      {U"", U"", true},
      {U"a", U"", false},
      {U"aXbYc", U"a*b*c", true},
      {U"aXbYd", U"a*b*c", false},
      {U"abc", U"***", true},
      {U"ab", U"*?*?*?", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Match(c.text, c.pattern), c.match) << string32to8(c.text) << " ~ " << string32to8(c.pattern);
  }
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() : chroot_(native_, Path::FromUtf8(dir_.path()), false), recorder_(chroot_), bridge_(recorder_) {
    LogEnabled[103] = 1;
    LogEnabled[106] = 1;
  }

  std::string Host(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const { return dir_.WriteFile(name, content); }
  std::vector<std::string> Opens() const { return recorder_.CallsStartingWith("Open "); }
  uint32_t OpenRo(const char32_t* name) { return bridge_.Open(name, File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); }
  std::string ReadAll(uint32_t fd, int64_t size) {
    std::string buffer(size, '\0');
    buffer.resize(bridge_.ReadAt(fd, buffer.data(), 0, size));
    return buffer;
  }

  testutil::CapturedLog log_;
  testutil::TempDir dir_;
  NativeFilesystem native_;
  ChrootFilesystem chroot_;
  testutil::RecordingFilesystem recorder_;
  BridgeFilesystem bridge_;
};

TEST_F(BridgeTest, BanListUpperCasesAsciiOnlyAndLooksAtTheLastComponent) {
  struct Case {
    const char32_t* path;
    bool banned;
  };
  const Case cases[] = {
      {U".DS_Store", true},
      {U"peer/share/.ds_store", true},
      {U"x/.Spotlight-V100", true},
      {U".DS_STORE", true},
      {U".d\u015b_store", false},
      {U"autorun.inf", true},
      {U"autorun.inf.txt", false},
      {U"Desktop.ini", true},
      {U"System Volume Information", true},
      {U"$Recycle.Bin", true},
      {U"Recycler", true},
      {U".Trashes", true},
      {U".AppleDouble", true},
      {U".TemporaryItems", true},
      {U".apdisk", true},
      {U".desktop", true},
      {U"a/.DS_Store/child", false},
      {U"DS_Store", false},
      {U"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(bridge_.ExistsInBanList(c.path), c.banned) << string32to8(c.path);

  const auto caught = CatchError([&] { bridge_.CheckBanList(U"a/.DS_Store"); });
  EXPECT_EQ(caught.code, E_ACCES);
  EXPECT_EQ(caught.text, "File is blacklisted");
  EXPECT_EQ(caught.details, (DetailPairs{{"path", "a/.DS_Store"}}));
  EXPECT_TRUE(log_.HasLineEndingWith("Banned path=a/.DS_Store"));
}

TEST_F(BridgeTest, EveryPathOperationRefusesBannedNamesBeforeAskingTheFilesystem) {
  Write(".DS_Store", "x");
  const std::function<void()> calls[] = {
      [&] { bridge_.GetStat(U".DS_Store"); },
      [&] { bridge_.ReadDir(U".Trashes"); },
      [&] { bridge_.SetTimes(U".DS_Store", AccessTime(1), ModifyTime(1)); },
      [&] { bridge_.MakeDir(U"desktop.ini"); },
      [&] { bridge_.RemoveDir(U"$RECYCLE.BIN"); },
      [&] { bridge_.Delete(U".DS_Store"); },
      [&] { bridge_.Rename(U".DS_Store", U"visible", 0); },
      [&] { bridge_.Rename(U"visible", U".DS_Store", 0); },
      [&] { bridge_.SetFlags(U".DS_Store", FLAG_WRITE); },
      [&] { bridge_.Open(U".DS_Store", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); },
      [&] { bridge_.Open(U".DS_Store", File::MODE_CREATE_ALWAYS, File::ACCESS_WO, 0); },
  };
  for (const auto& call : calls) {
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_ACCES) << caught.full;
    EXPECT_EQ(caught.text, "File is blacklisted");
  }
  EXPECT_THAT(recorder_.Calls(), IsEmpty());
}

TEST_F(BridgeTest, ListingsLeaveBannedNamesOutAndKeepTheOrder) {
  for (const char* name : {"b", ".DS_Store", "a", ".Spotlight-V100", "c", ".ql_disablecache"}) Write(name, "");
  std::vector<std::string> expected;
  for (const Entry& e : chroot_.ReadDir(Path())) {
    if (e.name.ToString() != ".DS_Store" && e.name.ToString() != ".Spotlight-V100")
      expected.push_back(e.name.ToString());
  }
  std::vector<std::string> names;
  for (const Entry& e : bridge_.ReadDir(Path())) names.push_back(e.name.ToString());
  EXPECT_EQ(names, expected);
  EXPECT_EQ(names.size(), 4u);  // a real file with a forged name is listed as it is
}

// ---- forged names ----

TEST_F(BridgeTest, ForgedNamesAreEmptyReadOnlyFilesNobodyCanRead) {
  for (const char32_t* name : {U".ql_disablecache", U"any/dir/.metadata_never_index", U".ql_disablethumbnails"}) {
    EXPECT_EQ(bridge_.GetStat(name), Stat(0, 0, AccessTime(0), ModifyTime(0), ChangeTime(0)));
  }
  const uint32_t first = bridge_.Open(U"x/.ql_disablecache", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  const uint32_t second = bridge_.Open(U".ql_disablecache", File::MODE_CREATE_ALWAYS, File::ACCESS_RW, 0);
  EXPECT_EQ(first, 257u);
  EXPECT_EQ(second, 258u);
  EXPECT_THAT(recorder_.Calls(), IsEmpty());  // nothing was asked of the filesystem

  char buffer[4];
  const std::function<void()> io[] = {
      [&] { bridge_.ReadAt(first, buffer, 0, 4); },
      [&] { bridge_.WriteAt(second, "abcd", 0, 4); },
      [&] { bridge_.Trunc(second, 0); },
      [&] { bridge_.SetTimes(first, AccessTime(1), ModifyTime(1)); },
  };
  for (const auto& call : io) {
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_ACCES);
    EXPECT_EQ(caught.text, "File descriptor access is forbidden");
  }
  EXPECT_EQ(CatchError([&] { bridge_.ReadAt(first, buffer, 0, 4); }).details, (DetailPairs{{"fd", "257"}}));
  bridge_.Close(first);
  EXPECT_TRUE(log_.HasLineEndingWith("closed forged fd=257"));
  EXPECT_EQ(bridge_.Open(U".ql_disablecache", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0), 257u);
  EXPECT_FALSE(std::filesystem::exists(Host(".ql_disablecache")));
}

// ---- postponed opens ----

TEST_F(BridgeTest, ReadOnlyOpenClosedAtOnceNeverOpensTheFile) {
  Write("f", "content");
  const uint32_t fd = OpenRo(U"f");
  EXPECT_THAT(recorder_.Calls(), ElementsAre("GetStat f"));
  bridge_.Close(fd);
  EXPECT_THAT(Opens(), IsEmpty());
  EXPECT_TRUE(log_.HasLineEndingWith("optimized out opening fd=" + std::to_string(fd)));
  EXPECT_EQ(OpenRo(U"f"), fd);  // the number came back
}

TEST_F(BridgeTest, PostponedFileOpensOnceAtTheFirstRead) {
  Write("f", "content");
  const uint32_t fd = bridge_.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RO, FLAG_EXE);
  EXPECT_THAT(Opens(), IsEmpty());
  EXPECT_EQ(ReadAll(fd, 100), "content");
  EXPECT_THAT(Opens(), ElementsAre("Open f mode=0 access=0 flags=2"));
  char buffer[3];
  EXPECT_EQ(bridge_.ReadAt(fd, buffer, 4, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "ent");
  EXPECT_EQ(Opens().size(), 1u);
  bridge_.Close(fd);
  EXPECT_TRUE(log_.HasLineEndingWith("closed fd=" + std::to_string(fd)));
}

TEST_F(BridgeTest, ReadOnlyOpenOfAMissingFileFailsAtOpenTime) {
  const auto caught = CatchError([&] { OpenRo(U"missing"); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_THAT(Opens(), IsEmpty());
  Write("f", "");
  EXPECT_EQ(OpenRo(U"f"), 1u);  // no number was used up
}

TEST_F(BridgeTest, PostponedOpenThatFailsLaterCanBeRetriedAndClosed) {
  Write("f", "one");
  const uint32_t fd = OpenRo(U"f");
  std::filesystem::remove(Host("f"));
  char buffer[8];
  const auto caught = CatchError([&] { bridge_.ReadAt(fd, buffer, 0, 8); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not open file");
  Write("f", "two");
  EXPECT_EQ(ReadAll(fd, 8), "two");
  EXPECT_EQ(Opens().size(), 2u);
  bridge_.Close(fd);

  const uint32_t again = OpenRo(U"f");
  std::filesystem::remove(Host("f"));
  EXPECT_EQ(CatchError([&] { bridge_.ReadAt(again, buffer, 0, 8); }).code, E_NOENT);
  bridge_.Close(again);  // a descriptor whose open keeps failing can still be released
  EXPECT_EQ(CatchError([&] { bridge_.Close(again); }).code, E_BADF);
}

TEST_F(BridgeTest, ReadOnlyOpensThatCreateOrTruncateHappenAtOnce) {
  Write("full", "content");
  const uint32_t created = bridge_.Open(U"new", File::MODE_OPEN_ALWAYS, File::ACCESS_RO, FLAG_WRITE);
  const uint32_t truncated = bridge_.Open(U"full", File::MODE_TRUNCATE_EXISTING, File::ACCESS_RO, 0);
  EXPECT_THAT(Opens(), ElementsAre("Open new mode=2 access=0 flags=4", "Open full mode=1 access=0 flags=0"));
  bridge_.Close(created);
  bridge_.Close(truncated);
  EXPECT_TRUE(std::filesystem::exists(Host("new")));
  EXPECT_EQ(std::filesystem::file_size(Host("full")), 0u);
}

// ---- the descriptor table ----

TEST_F(BridgeTest, WritableOpensReachTheFilesystemAtOnce) {
  const uint32_t fd = bridge_.Open(U"new", File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE);
  EXPECT_THAT(Opens(), ElementsAre("Open new mode=4 access=1 flags=4"));
  EXPECT_EQ(bridge_.WriteAt(fd, "abcdef", 0, 6), 6);
  EXPECT_EQ(bridge_.WriteAt(fd, "XY", 2, 2), 2);
  bridge_.Trunc(fd, 5);
  bridge_.SetTimes(fd, AccessTime(100), ModifyTime(200));
  bridge_.Close(fd);
  std::ifstream in(Host("new"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abXYe");
  EXPECT_EQ(chroot_.GetStat(U"new").mtime, ModifyTime(200));
}

TEST_F(BridgeTest, ClosedNumbersComeBackSmallestFirst) {
  Write("f", "");
  for (uint32_t expected = 1; expected <= 5; ++expected) EXPECT_EQ(OpenRo(U"f"), expected);
  bridge_.Close(4);
  bridge_.Close(2);
  bridge_.Close(3);
  EXPECT_EQ(OpenRo(U"f"), 2u);
  EXPECT_EQ(bridge_.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0), 3u);
  EXPECT_EQ(OpenRo(U"f"), 4u);
  EXPECT_EQ(OpenRo(U"f"), 6u);
}

TEST_F(BridgeTest, TheTwoHundredFiftySixthOpenFailsAndClosesWhatItOpened) {
  Write("f", "");
  for (uint32_t i = 1; i <= 255; ++i) ASSERT_EQ(OpenRo(U"f"), i);
  auto caught = CatchError([&] { OpenRo(U"f"); });
  EXPECT_EQ(caught.code, E_MFILE);
  EXPECT_EQ(caught.text, "Too many open files");

  const auto openHostFiles = [&] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(entry.path(), ec).string().starts_with(dir_.path())) ++count;
    }
    return count;
  };
  const int before = openHostFiles();
  caught = CatchError([&] { bridge_.Open(U"w", File::MODE_CREATE_NEW, File::ACCESS_RW, 0); });
  EXPECT_EQ(caught.code, E_MFILE);
  EXPECT_EQ(openHostFiles(), before);  // the file opened for it is closed again

  bridge_.Close(17);
  EXPECT_EQ(OpenRo(U"f"), 17u);
  EXPECT_EQ(CatchError([&] { OpenRo(U"f"); }).code, E_MFILE);
}

TEST_F(BridgeTest, UnknownDescriptorsAreBad) {
  char buffer[1];
  const std::function<void()> calls[] = {
      [&] { bridge_.Close(99); },
      [&] { bridge_.ReadAt(99, buffer, 0, 1); },
      [&] { bridge_.WriteAt(0, "x", 0, 1); },
      [&] { bridge_.Trunc(255, 0); },
      [&] { bridge_.GetFile(256); },
  };
  for (const auto& call : calls) {
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_BADF);
    EXPECT_EQ(caught.text, "Bad file descriptor");
  }
  EXPECT_EQ(CatchError([&] { bridge_.Close(99); }).details, (DetailPairs{{"fd", "99"}}));
}

TEST_F(BridgeTest, CloseCutsTheLinkOfTheFile) {
  Write("f", "abc");
  const uint32_t fd = OpenRo(U"f");
  const std::shared_ptr<FileLink> link = bridge_.GetFile(fd);
  char buffer[3];
  EXPECT_EQ(link->ReadAt(0, File::ORIGIN_SET, buffer, 3), 3);
  bridge_.Close(fd);
  const auto caught = CatchError([&] { link->ReadAt(0, File::ORIGIN_SET, buffer, 3); });
  EXPECT_EQ(caught.code, E_BADF);
  EXPECT_EQ(caught.text, "Object doesn't exist");
  EXPECT_EQ(CatchError([&] { bridge_.ReadAt(fd, buffer, 0, 3); }).text, "Bad file descriptor");
}

TEST(BridgeLifetime, DestroyingTheBridgeCutsLinksStillHeld) {
  testutil::TempDir dir;
  dir.WriteFile("f", "abc");
  NativeFilesystem native;
  ChrootFilesystem root(native, Path::FromUtf8(dir.path()), false);
  std::shared_ptr<FileLink> link;
  {
    BridgeFilesystem bridge(root);
    link = bridge.GetFile(bridge.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0));
  }
  char buffer[3];
  EXPECT_EQ(CatchError([&] { link->ReadAt(0, File::ORIGIN_SET, buffer, 3); }).text, "Object doesn't exist");
}

// ---- reads assembled from short reads, and locking ----

// A file that hands out at most `chunk` bytes per read and, while armed,
// holds each read until released.
class SlowFile : public NonCopyable, public virtual File {
 public:
  SlowFile(std::unique_ptr<File> inner, int64_t chunk) : inner_(std::move(inner)), chunk_(chunk) {}
  int64_t Seek(int64_t offset, Origin origin) override { return inner_->Seek(offset, origin); }
  int64_t ReadAt(int64_t offset, Origin origin, void* buffer, int64_t size) override {
    ++reads;
    if (gate) {
      gate->Enter();
      gate->released.wait();
    }
    return inner_->ReadAt(offset, origin, buffer, std::min(size, chunk_));
  }
  void WritevAt(int64_t offset, Origin origin, const Iovec* iov, int count) override {
    inner_->WritevAt(offset, origin, iov, count);
  }
  void SetTimes(AccessTime atime, ModifyTime mtime) override { inner_->SetTimes(atime, mtime); }
  void Trunc(int64_t size) override { inner_->Trunc(size); }
  void Flush() override {}
  void Stop() override {}

  struct Gate {
    // Counts reads that got inside; WaitForEntered waits at most 10 s.
    void Enter() {
      std::lock_guard<std::mutex> lock(mutex);
      ++entered;
      changed.notify_all();
    }
    bool WaitForEntered(int count) {
      std::unique_lock<std::mutex> lock(mutex);
      return changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered >= count; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
  };
  Gate* gate = nullptr;
  std::atomic<int> reads{0};

 private:
  std::unique_ptr<File> inner_;
  const int64_t chunk_;
};

class SlowFilesystem : public NonCopyable, public virtual Filesystem {
 public:
  SlowFilesystem(Filesystem& inner, int64_t chunk) : inner_(inner), chunk_(chunk) {}
  Stat GetStat(const Path& path) override { return inner_.GetStat(path); }
  std::vector<Entry> ReadDir(const Path& path) override { return inner_.ReadDir(path); }
  void MakeDir(const Path& path) override { inner_.MakeDir(path); }
  void RemoveDir(const Path& path) override { inner_.RemoveDir(path); }
  std::unique_ptr<File> Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) override {
    auto file = std::make_unique<SlowFile>(inner_.Open(path, mode, access, flags), chunk_);
    file->gate = gate;
    last = file.get();
    return file;
  }
  void SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) override { inner_.SetTimes(path, atime, mtime); }
  void Rename(const Path& o, const Path& n, uint32_t flags) override { inner_.Rename(o, n, flags); }
  void Delete(const Path& path) override { inner_.Delete(path); }
  void SetFlags(const Path& path, uint32_t flags) override { inner_.SetFlags(path, flags); }

  SlowFile::Gate* gate = nullptr;
  SlowFile* last = nullptr;

 private:
  Filesystem& inner_;
  const int64_t chunk_;
};

class BridgeLockingTest : public ::testing::Test {
 protected:
  BridgeLockingTest() : root_(native_, Path::FromUtf8(dir_.path()), false) {}
  testutil::TempDir dir_;
  NativeFilesystem native_;
  ChrootFilesystem root_;
};

TEST_F(BridgeLockingTest, ReadsAreAssembledFromShortReadsAndShortOnlyAtTheEnd) {
  std::string content(1000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  dir_.WriteFile("f", content);
  SlowFilesystem slow(root_, 7);
  BridgeFilesystem bridge(slow);
  const uint32_t fd = bridge.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  std::string buffer(600, '\0');
  EXPECT_EQ(bridge.ReadAt(fd, buffer.data(), 100, 600), 600);
  EXPECT_EQ(buffer, content.substr(100, 600));
  EXPECT_EQ(slow.last->reads.load(), (600 + 6) / 7);
  EXPECT_EQ(bridge.ReadAt(fd, buffer.data(), 950, 600), 50);
  EXPECT_EQ(buffer.substr(0, 50), content.substr(950));
  EXPECT_EQ(bridge.ReadAt(fd, buffer.data(), 2000, 10), 0);
}

TEST_F(BridgeLockingTest, ReadsRunTogetherAndCloseWaitsForTheReadInFlight) {
  dir_.WriteFile("f", "shared content");
  SlowFilesystem slow(root_, 1 << 20);
  BridgeFilesystem bridge(slow);
  const uint32_t a = bridge.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  bridge.GetFile(a);  // opened before the gate is armed: reads on it pass
  SlowFile::Gate gate;
  slow.gate = &gate;
  // Postponed: opened at their first read, through the armed gate.
  const uint32_t c = bridge.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  const uint32_t d = bridge.Open(U"f", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);

  const auto read = [&](uint32_t fd) {
    return std::async(std::launch::async, [&bridge, fd] {
      char buffer[6];
      return std::string(buffer, bridge.ReadAt(fd, buffer, 0, 6));
    });
  };
  auto first = read(c);
  auto second = read(d);
  // Both reads get inside their files at the same time: nothing serialises them.
  const bool bothInside = gate.WaitForEntered(2);
  EXPECT_TRUE(bothInside) << "reads on two descriptors were serialised";
  if (!bothInside) {
    gate.release.set_value();
    return;
  }

  std::atomic<bool> closed{false};
  auto closer = std::async(std::launch::async, [&] {
    bridge.Close(c);
    closed = true;
  });
  // Close must wait while the read on that descriptor is still inside.
  for (int i = 0; i < 50 && !closed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(closed);
  gate.release.set_value();
  EXPECT_EQ(first.get(), "shared");
  EXPECT_EQ(second.get(), "shared");
  closer.get();
  EXPECT_TRUE(closed);
  char buffer[1];
  EXPECT_EQ(CatchError([&] { bridge.ReadAt(c, buffer, 0, 1); }).code, E_BADF);
  EXPECT_EQ(bridge.ReadAt(a, buffer, 0, 1), 1);
}

// ---- DescriptorStorage ----

TEST(DescriptorStorage, HandsOutTheRangeThenReusesSmallestFirst) {
  testutil::CapturedLog log;
  LogEnabled[106] = 1;
  DescriptorStorage storage(1, 4);
  EXPECT_EQ(storage.Get(), 1u);
  EXPECT_EQ(storage.Get(), 2u);
  EXPECT_EQ(storage.Get(), 3u);
  const auto caught = CatchError([&] { storage.Get(); });
  EXPECT_EQ(caught.code, E_MFILE);
  EXPECT_EQ(caught.text, "Too many open files");
  storage.Release(3);
  storage.Release(1);
  storage.Release(2);
  EXPECT_EQ(storage.Get(), 1u);
  storage.Release(1);
  EXPECT_EQ(storage.Get(), 1u);
  EXPECT_EQ(storage.Get(), 2u);
  EXPECT_EQ(storage.Get(), 3u);
  EXPECT_EQ(CatchError([&] { storage.Get(); }).code, E_MFILE);
  EXPECT_TRUE(log.HasLineEndingWith("used new fd=3"));
  EXPECT_TRUE(log.HasLineEndingWith("released fd=2"));
  EXPECT_TRUE(log.HasLineEndingWith("reused fd=2"));
}

}  // namespace
}  // namespace OST
