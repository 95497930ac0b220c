// The host filesystem layer: the flag conversions, NativeFile and the rules
// of NativeFilesystem, run against real files in a temporary directory.
#include "fs/fs_native.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using testutil::CatchError;
using testutil::TempDir;

Path HostPath(const std::string& host) {
  return Path::FromUtf8(host);
}

mode_t HostMode(const std::string& host) {
  struct stat st {};
  EXPECT_EQ(stat(host.c_str(), &st), 0) << host;
  return st.st_mode;
}

// ---- conversions ----

TEST(NativeConversions, OpenFlagsToModeTable) {
  struct Case {
    int oflags;
    File::Mode mode;
  };
  const Case cases[] = {
      {O_RDONLY, File::MODE_OPEN_EXISTING},
      {O_RDWR, File::MODE_OPEN_EXISTING},
      {O_WRONLY | O_TRUNC, File::MODE_TRUNCATE_EXISTING},
      {O_RDWR | O_CREAT, File::MODE_OPEN_ALWAYS},
      {O_WRONLY | O_CREAT | O_TRUNC, File::MODE_CREATE_ALWAYS},
      {O_WRONLY | O_CREAT | O_EXCL, File::MODE_CREATE_NEW},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OstrelMode(c.oflags), c.mode) << c.oflags;
    EXPECT_EQ(NativeMode(c.mode), c.oflags & ~O_ACCMODE) << c.oflags;
  }
  const int refused[] = {O_WRONLY | O_APPEND, O_RDONLY | O_NONBLOCK,      O_EXCL,
                         O_EXCL | O_TRUNC,    O_CREAT | O_TRUNC | O_EXCL, O_RDWR | O_CREAT | O_CLOEXEC};
  for (int oflags : refused) {
    const auto caught = CatchError([&] { OstrelMode(oflags); });
    EXPECT_EQ(caught.code, E_INVAL) << oflags;
    EXPECT_EQ(caught.text, "Unknown file mode");
    EXPECT_EQ(caught.details, (testutil::DetailPairs{{"oflags", std::to_string(oflags)}}));
  }
  const auto caught = CatchError([] { NativeMode(static_cast<File::Mode>(5)); });
  EXPECT_EQ(caught.text, "Unexpected file mode");
  EXPECT_EQ(caught.details, (testutil::DetailPairs{{"mode", "5"}}));
}

TEST(NativeConversions, AccessAndOriginTables) {
  struct AccessCase {
    int oflags;
    File::Access access;
  };
  const AccessCase accesses[] = {{O_RDONLY, File::ACCESS_RO},
                                 {O_WRONLY | O_CREAT | O_APPEND, File::ACCESS_WO},
                                 {O_RDWR | O_TRUNC, File::ACCESS_RW}};
  for (const AccessCase& c : accesses) {
    EXPECT_EQ(OstrelAccess(c.oflags), c.access);
    EXPECT_EQ(NativeAccess(c.access), c.oflags & O_ACCMODE);
  }
  auto caught = CatchError([] { OstrelAccess(O_WRONLY | O_RDWR); });
  EXPECT_EQ(caught.code, E_INVAL);
  EXPECT_EQ(caught.text, "Unsupported file access");
  EXPECT_EQ(caught.details, (testutil::DetailPairs{{"oflags", std::to_string(O_WRONLY | O_RDWR)}}));
  caught = CatchError([] { NativeAccess(static_cast<File::Access>(3)); });
  EXPECT_EQ(caught.text, "Unexpected file access");
  EXPECT_EQ(caught.details, (testutil::DetailPairs{{"access", "3"}}));

  const std::pair<int, File::Origin> origins[] = {
      {SEEK_SET, File::ORIGIN_SET}, {SEEK_CUR, File::ORIGIN_CUR}, {SEEK_END, File::ORIGIN_END}};
  for (const auto& [whence, origin] : origins) {
    EXPECT_EQ(OstrelOrigin(whence), origin);
    EXPECT_EQ(NativeOrigin(origin), whence);
  }
  caught = CatchError([] { OstrelOrigin(SEEK_DATA); });
  EXPECT_EQ(caught.text, "Unknown seek whence");
  EXPECT_EQ(caught.details, (testutil::DetailPairs{{"whence", std::to_string(SEEK_DATA)}}));
  caught = CatchError([] { NativeOrigin(static_cast<File::Origin>(7)); });
  EXPECT_EQ(caught.text, "Unexpected seek origin");
  EXPECT_EQ(caught.details, (testutil::DetailPairs{{"origin", "7"}}));
}

TEST(NativeConversions, ModeBitsToFlagsAndBack) {
  struct Case {
    unsigned mode;
    uint32_t flags;
  };
  const Case toFlags[] = {
      {S_IFDIR | 0500, FLAG_DIR},
      {S_IFDIR | 0777, FLAG_DIR},
      {S_IFREG | 0644, FLAG_WRITE},
      {S_IFREG | 0445, FLAG_EXE},
      {S_IFREG | 0044, 0},
      {S_IFREG | 0020, 0},
      {S_IFREG | 0755, FLAG_WRITE | FLAG_EXE},
      {S_IFREG | 0210, FLAG_WRITE | FLAG_EXE},
  };
  for (const Case& c : toFlags) EXPECT_EQ(OstrelFlags(c.mode), c.flags) << std::oct << c.mode;

  const Case toMode[] = {
      {S_IFDIR | 0755, FLAG_DIR}, {S_IFDIR | 0755, FLAG_DIR | FLAG_WRITE | FLAG_EXE},
      {S_IFREG | 0444, 0},        {S_IFREG | 0644, FLAG_WRITE},
      {S_IFREG | 0555, FLAG_EXE}, {S_IFREG | 0755, FLAG_WRITE | FLAG_EXE},
  };
  for (const Case& c : toMode) EXPECT_EQ(NativePermissions(c.flags), c.mode) << c.flags;
}

TEST(NativeConversions, EntryPathsJoinWithoutDoubledSeparator) {
  EXPECT_EQ(HostEntryPath("/", "etc"), "/etc");
  EXPECT_EQ(HostEntryPath("/srv/data", "a b"), "/srv/data/a b");
}

// ---- RaiiValue over host handles ----

TEST(NativeHandles, FailedCloseIsLoggedOnDestructionAndThrownOnRelease) {
  testutil::CapturedLog log;
  LogEnabled[kLogDroppedErrors] = 1;
  { RaiiValue<int> stale = OwnedFileId(1 << 20); }
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_THAT(log.Lines()[0], ::testing::HasSubstr("Error: Code: E_BADF, Text: \"Failed to close file descriptor\""));

  RaiiValue<int> stale = OwnedFileId(1 << 20);
  const auto caught = CatchError([&] { stale.Release(); });
  EXPECT_EQ(caught.code, E_BADF);
  EXPECT_FALSE(stale.Valid());  // cleared before the release function ran
}

TEST(NativeHandles, MoveAssignmentClosesTheHeldDescriptor) {
  int first[2], second[2];
  ASSERT_EQ(pipe(first), 0);
  ASSERT_EQ(pipe(second), 0);
  close(first[1]);
  close(second[1]);
  RaiiValue<int> held = OwnedFileId(first[0]);
  held = OwnedFileId(second[0]);
  EXPECT_EQ(fcntl(first[0], F_GETFD), -1);  // closed by the assignment
  EXPECT_NE(fcntl(second[0], F_GETFD), -1);
  EXPECT_EQ(held.Get(), second[0]);
}

// ---- NativeFile ----

class NativeFileTest : public ::testing::Test {
 protected:
  std::string Host(const std::string& name) const { return dir_.path() + "/" + name; }
  Path At(const std::string& name) const { return HostPath(Host(name)); }

  TempDir dir_;
};

// Counts calls of the virtual Seek, to see which operations position first.
class SeekCountingFile : public NativeFile {
 public:
  using NativeFile::NativeFile;
  int64_t Seek(int64_t offset, Origin origin) override {
    ++seeks;
    return NativeFile::Seek(offset, origin);
  }
  int seeks = 0;
};

TEST_F(NativeFileTest, WritesEveryElementAndReadsItBack) {
  NativeFile file(At("f"), File::MODE_CREATE_NEW, File::ACCESS_RW, FLAG_WRITE);
  const std::string big(300000, 'b');
  const Iovec iov[] = {
      {"head-", 5}, {"ignored", 0}, {"ignored", -3}, {big.data(), static_cast<int64_t>(big.size())}, {"-tail", 5}};
  file.WritevAt(0, File::ORIGIN_SET, iov, 5);
  const std::string expected = "head-" + big + "-tail";
  EXPECT_EQ(file.Seek(0, File::ORIGIN_END), static_cast<int64_t>(expected.size()));

  std::string back(expected.size(), '\0');
  int64_t total = 0;
  for (int64_t n; (n = file.ReadAt(total, File::ORIGIN_SET, back.data() + total, back.size() - total)) > 0;) total += n;
  EXPECT_EQ(total, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(back, expected);
  char byte;
  EXPECT_EQ(file.ReadAt(0, File::ORIGIN_END, &byte, 1), 0);  // end of file is not an error
  EXPECT_EQ(file.ReadAt(5, File::ORIGIN_END, &byte, 1), 0);

  file.WriteAt(-4, File::ORIGIN_END, "TAIL", 4);
  char tail[5] = {};
  EXPECT_EQ(file.ReadAt(-5, File::ORIGIN_END, tail, 5), 5);
  EXPECT_EQ(std::string(tail, 5), "-TAIL");

  file.Trunc(3);
  char small[8];
  EXPECT_EQ(file.ReadAt(0, File::ORIGIN_SET, small, 8), 3);
  EXPECT_EQ(std::string(small, 3), "hea");
}

TEST_F(NativeFileTest, ReadFromCurrentPositionSkipsSeekWhileWriteAlwaysSeeks) {
  SeekCountingFile file(At("f"), File::MODE_CREATE_NEW, File::ACCESS_RW, FLAG_WRITE);
  file.WriteAt(0, File::ORIGIN_CUR, "abcdef", 6);
  EXPECT_EQ(file.seeks, 1);
  file.Seek(2, File::ORIGIN_SET);
  file.seeks = 0;
  char two[2];
  ASSERT_EQ(file.ReadAt(0, File::ORIGIN_CUR, two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "cd");
  EXPECT_EQ(file.seeks, 0);
  ASSERT_EQ(file.ReadAt(1, File::ORIGIN_CUR, two, 1), 1);  // skips "e"
  EXPECT_EQ(two[0], 'f');
  EXPECT_EQ(file.seeks, 1);
  // Through the stream interface the position carries on.
  file.Seek(0, File::ORIGIN_SET);
  file.Write("XY", 2);
  file.ReadAny(two, 2);
  EXPECT_EQ(std::string(two, 2), "cd");
}

TEST_F(NativeFileTest, PositionedCallsFromManyThreadsNeverMixTheirPositions) {
  // FUSE reads ahead: several reads of one open file arrive at once, each
  // naming its own offset.
  std::string content(1 << 20, '\0');
  std::mt19937 random(static_cast<uint32_t>(::testing::UnitTest::GetInstance()->random_seed()));
  for (char& c : content) c = static_cast<char>(random());
  dir_.WriteFile("f", content);
  NativeFile file(At("f"), File::MODE_OPEN_EXISTING, File::ACCESS_RW, 0);
  constexpr int kThreads = 6;
  constexpr int64_t kChunk = 4096;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char buffer[kChunk];
      for (int64_t offset = t * kChunk; offset < static_cast<int64_t>(content.size()); offset += kThreads * kChunk) {
        for (int round = 0; round < 16; ++round) {
          const int64_t n = file.ReadAt(offset, File::ORIGIN_SET, buffer, kChunk);
          if (n != kChunk || content.compare(offset, kChunk, buffer, kChunk) != 0) ++wrong;
        }
        // Rewrite the same bytes at the same place: a write that lands
        // elsewhere shows up in the final content.
        file.WriteAt(offset, File::ORIGIN_SET, content.data() + offset, kChunk);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  std::ifstream in(Host("f"), std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == content);
}

TEST_F(NativeFileTest, NegativeReadSizeIsRefused) {
  NativeFile file(At("f"), File::MODE_CREATE_NEW, File::ACCESS_RW, 0);
  char byte;
  const auto caught = CatchError([&] { file.ReadAt(0, File::ORIGIN_SET, &byte, -1); });
  EXPECT_EQ(caught.code, E_INVAL);
  EXPECT_EQ(caught.text, "Invalid read size");
}

TEST_F(NativeFileTest, CreatedFilesGetPermissionsFromFlags) {
  const mode_t saved = umask(022);
  const std::pair<uint32_t, mode_t> cases[] = {
      {0, 0444}, {FLAG_WRITE, 0644}, {FLAG_EXE, 0555}, {FLAG_WRITE | FLAG_EXE, 0755}};
  int i = 0;
  for (const auto& [flags, mode] : cases) {
    const std::string name = "f" + std::to_string(i++);
    NativeFile file(At(name), File::MODE_CREATE_NEW, File::ACCESS_WO, flags);
    EXPECT_EQ(HostMode(Host(name)) & 07777, mode) << flags;
  }
  umask(saved);
}

TEST_F(NativeFileTest, OpenModesOnExistingAndMissingFiles) {
  dir_.WriteFile("old", "12345");
  struct Case {
    File::Mode mode;
    bool existing;
    uint32_t code;  // E_OK when the open succeeds
    int64_t sizeAfter;
  };
  const Case cases[] = {
      {File::MODE_OPEN_EXISTING, true, E_OK, 5},     {File::MODE_OPEN_EXISTING, false, E_NOENT, -1},
      {File::MODE_TRUNCATE_EXISTING, true, E_OK, 0}, {File::MODE_TRUNCATE_EXISTING, false, E_NOENT, -1},
      {File::MODE_OPEN_ALWAYS, true, E_OK, 5},       {File::MODE_OPEN_ALWAYS, false, E_OK, 0},
      {File::MODE_CREATE_ALWAYS, true, E_OK, 0},     {File::MODE_CREATE_ALWAYS, false, E_OK, 0},
      {File::MODE_CREATE_NEW, true, E_EXIST, 5},     {File::MODE_CREATE_NEW, false, E_OK, 0},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(Host("f"));
    if (c.existing) std::filesystem::copy_file(Host("old"), Host("f"));
    const auto caught = CatchError([&] { NativeFile(At("f"), c.mode, File::ACCESS_WO, FLAG_WRITE); });
    EXPECT_EQ(caught.code, c.code) << File::ModeText(c.mode) << " existing=" << c.existing << " " << caught.full;
    if (c.code != E_OK) {
      EXPECT_EQ(caught.text, "Could not open file");
      const int oflags = NativeMode(c.mode) | O_WRONLY;
      EXPECT_THAT(caught.details, ::testing::IsSupersetOf(
                                      testutil::DetailPairs{{"path", Host("f")}, {"flags", std::to_string(oflags)}}));
    }
    if (c.sizeAfter >= 0) {
      EXPECT_EQ(std::filesystem::file_size(Host("f")), static_cast<uintmax_t>(c.sizeAfter));
    }
  }
}

TEST_F(NativeFileTest, FifoIsRefusedWithoutWaitingForTheOtherEnd) {
  ASSERT_EQ(mkfifo(Host("pipe").c_str(), 0666), 0);
  for (File::Access access : {File::ACCESS_RO, File::ACCESS_WO, File::ACCESS_RW}) {
    auto attempt = std::async(std::launch::async, [&] {
      return CatchError([&] { NativeFile(At("pipe"), File::MODE_OPEN_EXISTING, access, 0); });
    });
    if (attempt.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Release the blocked open so the test can end, then fail.
      const int other = open(Host("pipe").c_str(), O_RDWR | O_NONBLOCK);
      attempt.wait();
      close(other);
      FAIL() << "opening a FIFO blocked, access " << File::AccessText(access);
    }
    const auto caught = attempt.get();
    EXPECT_EQ(caught.code, E_ACCES) << File::AccessText(access);
    EXPECT_EQ(caught.text, "FIFO is blacklisted");
    EXPECT_EQ(caught.details, (testutil::DetailPairs{{"path", Host("pipe")}}));
  }
  // A FIFO with a reader on the other end is refused as well.
  const int reader = open(Host("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(CatchError([&] { NativeFile(At("pipe"), File::MODE_OPEN_EXISTING, File::ACCESS_WO, 0); }).text,
            "FIFO is blacklisted");
  close(reader);
}

TEST_F(NativeFileTest, OpenedFileIsInBlockingModeAndClosedOnDestruction) {
  int fdNumber;
  {
    NativeFile file(At("f"), File::MODE_CREATE_NEW, File::ACCESS_RW, 0);
    // The descriptor is the lowest free one; find it by the file it names.
    fdNumber = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(entry.path(), ec) == Host("f")) fdNumber = std::stoi(entry.path().filename());
    }
    ASSERT_GE(fdNumber, 0);
    EXPECT_EQ(fcntl(fdNumber, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fdNumber, F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_EQ(fcntl(fdNumber, F_GETFD), -1);
}

TEST_F(NativeFileTest, SetTimesSetsWholeSeconds) {
  NativeFile file(At("f"), File::MODE_CREATE_NEW, File::ACCESS_RW, 0);
  file.SetTimes(AccessTime(1000000000), ModifyTime(1234567890));
  struct stat st {};
  ASSERT_EQ(stat(Host("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

// ---- NativeFilesystem ----

class NativeFilesystemTest : public NativeFileTest {
 protected:
  static std::vector<std::string> Names(const std::vector<Entry>& entries) {
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(e.name.ToString());
    return names;
  }
  NativeFilesystem fs_;
};

TEST_F(NativeFilesystemTest, GetStatReportsFlagsSizeAndTimes) {
  dir_.WriteFile("f", "hello");
  ASSERT_EQ(chmod(Host("f").c_str(), 0750), 0);
  const timeval times[2] = {{1111, 0}, {2222, 0}};
  ASSERT_EQ(utimes(Host("f").c_str(), times), 0);
  struct stat st {};
  ASSERT_EQ(stat(Host("f").c_str(), &st), 0);
  EXPECT_EQ(fs_.GetStat(At("f")),
            Stat(FLAG_WRITE | FLAG_EXE, 5, AccessTime(1111), ModifyTime(2222), ChangeTime(st.st_ctim.tv_sec)));
  EXPECT_EQ(fs_.GetStat(HostPath(dir_.path())).flags, FLAG_DIR);

  ASSERT_EQ(mkfifo(Host("pipe").c_str(), 0644), 0);
  EXPECT_EQ(fs_.GetStat(At("pipe")).flags, FLAG_WRITE);  // stat does not refuse FIFOs

  const auto caught = CatchError([&] { fs_.GetStat(At("missing")); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not get file stat");
  EXPECT_THAT(caught.details, ::testing::Contains(std::pair<std::string, std::string>("path", Host("missing"))));
}

TEST_F(NativeFilesystemTest, ListingLeavesOutWhatNoOneCanUse) {
  dir_.WriteFile("plain", "123");
  ASSERT_EQ(mkdir(Host("sub").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(Host("pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink(Host("nowhere").c_str(), Host("dangling").c_str()), 0);
  ASSERT_EQ(symlink(Host("loop2").c_str(), Host("loop1").c_str()), 0);
  ASSERT_EQ(symlink(Host("loop1").c_str(), Host("loop2").c_str()), 0);
  ASSERT_EQ(symlink(Host("plain").c_str(), Host("good-link").c_str()), 0);
  dir_.WriteFile("bad\xff\xfe", "");         // not UTF-8
  dir_.WriteFile("back\\slash", "");         // would read as two components
  dir_.WriteFile("C:", "");                  // would lose its colon
  dir_.WriteFile("a?b", "");                 // a character paths refuse
  dir_.WriteFile("e\xcc\x81t\xc3\xa9", "");  // "e" + U+0301 "t" U+00E9, kept as stored on this host

  const auto entries = fs_.ReadDir(HostPath(dir_.path()));
  EXPECT_THAT(Names(entries), UnorderedElementsAre("plain", "sub", "good-link", "e\xcc\x81t\xc3\xa9"));
  for (const Entry& e : entries) {
    if (e.name.ToString() == "sub") {
      EXPECT_EQ(e.stat.flags, FLAG_DIR);
    }
    if (e.name.ToString() == "good-link") {
      EXPECT_EQ(e.stat.size, 3);  // the target's stat
    }
    EXPECT_EQ(e.name.Levels(), 1);
  }
}

TEST_F(NativeFilesystemTest, ListingTheHostRootJoinsNamesCorrectly) {
  const auto entries = fs_.ReadDir(Path());
  bool sawTmp = false;
  for (const Entry& e : entries) {
    if (e.name.ToString() == "tmp") {
      sawTmp = true;
      EXPECT_EQ(e.stat.flags, FLAG_DIR);
    }
  }
  EXPECT_TRUE(sawTmp);
}

TEST_F(NativeFilesystemTest, ListingErrors) {
  auto caught = CatchError([&] { fs_.ReadDir(At("missing")); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not open directory");
  EXPECT_THAT(caught.details, ::testing::Contains(std::pair<std::string, std::string>("path", Host("missing"))));

  dir_.WriteFile("file", "");
  caught = CatchError([&] { fs_.ReadDir(At("file")); });
  EXPECT_EQ(caught.text, "Could not open directory");
}

TEST(NameConversion, NamesPassUnchangedWhenTheConverterIsMissingOrCannotConvertWhole) {
  NameConverter missing("UTF-8", "NO-SUCH-CHARSET");
  EXPECT_FALSE(missing.Available());
  EXPECT_EQ(missing.Convert("e\xcc\x81"), "e\xcc\x81");

  // UTF-8 to Latin-1 fits in the input's size: converted.
  NameConverter narrowing("ISO-8859-1", "UTF-8");
  ASSERT_TRUE(narrowing.Available());
  EXPECT_EQ(narrowing.Convert("caf\xc3\xa9"), "caf\xe9");
  // A character Latin-1 lacks: the conversion fails, the name stays.
  EXPECT_EQ(narrowing.Convert("\xe2\x82\xac"), "\xe2\x82\xac");
  // Latin-1 to UTF-8 needs more bytes than the input has: the name stays.
  NameConverter widening("UTF-8", "ISO-8859-1");
  EXPECT_EQ(widening.Convert("caf\xe9"), "caf\xe9");
  EXPECT_EQ(widening.Convert("plain"), "plain");

  // The host converter: composes where the C library has "UTF-8-MAC", and
  // leaves names as they are where it has not.
  if (!NameConverter("UTF-8", "UTF-8-MAC").Available()) {
    EXPECT_EQ(ComposeHostName("e\xcc\x81"), "e\xcc\x81");
  } else {
    EXPECT_EQ(ComposeHostName("e\xcc\x81"), "\xc3\xa9");
  }
}

TEST_F(NativeFilesystemTest, DirectoryAndFileLifecycle) {
  fs_.MakeDir(At("d"));
  EXPECT_EQ(fs_.GetStat(At("d")).flags, FLAG_DIR);
  auto caught = CatchError([&] { fs_.MakeDir(At("d")); });
  EXPECT_EQ(caught.code, E_EXIST);
  EXPECT_EQ(caught.text, "Could not create directory");

  dir_.WriteFile("d/f", "x");
  caught = CatchError([&] { fs_.RemoveDir(At("d")); });
  EXPECT_EQ(caught.code, E_NOTEMPTY);
  EXPECT_EQ(caught.text, "Could not delete directory");
  fs_.Delete(At("d/f"));
  caught = CatchError([&] { fs_.Delete(At("d/f")); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not delete file");
  fs_.RemoveDir(At("d"));
  EXPECT_FALSE(std::filesystem::exists(Host("d")));

  auto file = fs_.Open(At("new"), File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE);
  file->Write("data", 4);
  file.reset();
  fs_.SetTimes(At("new"), AccessTime(0), ModifyTime(0));
  EXPECT_EQ(fs_.GetStat(At("new")), Stat(FLAG_WRITE, 4, AccessTime(0), ModifyTime(0), fs_.GetStat(At("new")).ctime));
  caught = CatchError([&] { fs_.SetTimes(At("missing"), AccessTime(0), ModifyTime(0)); });
  EXPECT_EQ(caught.text, "Could not set file times");
}

TEST_F(NativeFilesystemTest, RenameWithAndWithoutNoReplace) {
  struct Case {
    const char* name;
    bool targetExists;
    bool sourceIsDir;
    uint32_t flags;
    uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {"file onto file", true, false, 0, E_OK, ""},
      {"file onto file, no replace", true, false, Filesystem::kRenameNoReplace, E_EXIST, "Could not open file"},
      {"file to new name, no replace", false, false, Filesystem::kRenameNoReplace, E_OK, ""},
      {"file, other bits ignored", false, false, 0x6, E_OK, ""},
      {"dir onto empty dir", true, true, 0, E_OK, ""},
      {"dir onto empty dir, no replace", true, true, Filesystem::kRenameNoReplace, E_EXIST, "Could not rename file"},
      {"dir to new name, no replace", false, true, Filesystem::kRenameNoReplace, E_OK, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Host("src"));
    std::filesystem::remove_all(Host("dst"));
    if (c.sourceIsDir) {
      ASSERT_EQ(mkdir(Host("src").c_str(), 0755), 0);
      dir_.WriteFile("src/inside", "in");
    } else {
      dir_.WriteFile("src", "source");
    }
    if (c.targetExists) {
      if (c.sourceIsDir) {
        ASSERT_EQ(mkdir(Host("dst").c_str(), 0755), 0);
      } else {
        dir_.WriteFile("dst", "target");
      }
    }
    const auto caught = CatchError([&] { fs_.Rename(At("src"), At("dst"), c.flags); });
    EXPECT_EQ(caught.code, c.code) << caught.full;
    if (c.code == E_OK) {
      EXPECT_FALSE(std::filesystem::exists(Host("src")));
      EXPECT_TRUE(std::filesystem::exists(c.sourceIsDir ? Host("dst/inside") : Host("dst")));
    } else {
      EXPECT_EQ(caught.text, c.text);
      EXPECT_TRUE(std::filesystem::exists(Host("src")));  // both unchanged
      if (!c.sourceIsDir) {
        EXPECT_EQ(std::filesystem::file_size(Host("dst")), 6u);
        EXPECT_EQ(std::filesystem::file_size(Host("src")), 6u);
      } else {
        EXPECT_TRUE(std::filesystem::is_empty(Host("dst")));
      }
    }
  }
  const auto caught = CatchError([&] { fs_.Rename(At("none"), At("other"), 0); });
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Could not rename file");
  EXPECT_THAT(caught.details,
              ::testing::IsSupersetOf(testutil::DetailPairs{{"oldPath", Host("none")}, {"newPath", Host("other")}}));
}

TEST_F(NativeFilesystemTest, FailedNoReplaceRenameLeavesNoPlaceholderBehind) {
  // A rename across host file systems fails after the target was claimed.
  char pattern[] = "/dev/shm/ostrel-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::string other = pattern;
  struct stat here {
  }, there{};
  ASSERT_EQ(stat(dir_.path().c_str(), &here), 0);
  ASSERT_EQ(stat(other.c_str(), &there), 0);
  if (here.st_dev == there.st_dev) {
    std::filesystem::remove_all(other);
    GTEST_SKIP() << "/dev/shm and the temporary directory share a file system";
  }
  dir_.WriteFile("src", "data");
  const auto caught =
      CatchError([&] { fs_.Rename(At("src"), HostPath(other + "/dst"), Filesystem::kRenameNoReplace); });
  EXPECT_EQ(caught.code, E_XDEV);
  EXPECT_EQ(caught.text, "Could not rename file");
  EXPECT_FALSE(std::filesystem::exists(other + "/dst"));
  EXPECT_TRUE(std::filesystem::exists(Host("src")));
  std::filesystem::remove_all(other);
}

TEST_F(NativeFilesystemTest, SetFlagsBitArithmetic) {
  struct Case {
    bool dir;
    mode_t before;
    uint32_t flags;
    mode_t after;
  };
  const Case cases[] = {
      {false, 0777, 0, 0444},
      {false, 0444, FLAG_WRITE, 0644},
      {false, 0666, FLAG_WRITE, 0666},  // group and other write bits stay
      {false, 0640, FLAG_EXE, 0551},    // read bits stay
      {false, 0600, FLAG_WRITE | FLAG_EXE, 0711},
      {false, 04755, FLAG_WRITE | FLAG_EXE, 04755},  // set-id bits stay
      {false, 0644, FLAG_DIR, 0444},                 // FLAG_DIR has no effect
      {true, 0700, 0, 0511},
      {true, 0500, FLAG_WRITE, 0711},
      {true, 01777, 0, 01555},
  };
  for (const Case& c : cases) {
    const std::string host = Host("x");
    std::filesystem::remove_all(host);
    if (c.dir) {
      ASSERT_EQ(mkdir(host.c_str(), 0700), 0);
    } else {
      dir_.WriteFile("x", "");
    }
    ASSERT_EQ(chmod(host.c_str(), c.before), 0);
    fs_.SetFlags(At("x"), c.flags);
    EXPECT_EQ(HostMode(host) & 07777, c.after)
        << std::oct << "dir=" << c.dir << " before=" << c.before << " flags=" << c.flags;
  }
  const auto caught = CatchError([&] { fs_.SetFlags(At("missing"), 0); });
  EXPECT_EQ(caught.text, "Could not get file stat");
}

}  // namespace
}  // namespace OST
