// Both merge filesystems: the root / mount point / inside table, rename
// rules and the mount table, run against each variant; then the locking
// rules of MergeFilesystem2.
#include "fs/merge_fs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "core/text.h"
#include "fs/chroot_fs.h"
#include "fs/fs_native.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/recording_fs.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using testutil::CatchError;
using testutil::DetailPairs;

// One mounted host directory, seen through a recorder, so a test can tell
// which path reached the mounted filesystem.
struct HostMount {
  HostMount() : chroot(native, Path::FromUtf8(dir.path()), false), recorder(chroot) { Reset(); }
  void Reset() {
    dir.WriteFile("x", "12345");
    std::filesystem::create_directory(dir.path() + "/d");
    recorder.Clear();
  }
  testutil::TempDir dir;
  NativeFilesystem native;
  ChrootFilesystem chroot;
  testutil::RecordingFilesystem recorder;
};

// The two variants behind one way of mounting.
struct PlainMerge {
  MergeFilesystem merge;
  void Mount(const Path& name, Filesystem& fs) { merge.Mount(name, fs); }
};

struct LinkedMerge {
  MergeFilesystem2 merge;
  std::vector<std::shared_ptr<FilesystemLink>> links;
  void Mount(const Path& name, Filesystem& fs) {
    links.push_back(std::make_shared<FilesystemLink>(&fs));
    merge.Mount(name, links.back());
  }
};

template <typename Variant>
class MergeTest : public ::testing::Test {
 protected:
  MergeTest() : before_(CurrentTime()), variant_(std::make_unique<Variant>()), after_(CurrentTime()) {}
  Filesystem& Fs() { return variant_->merge; }

  const UnixTime before_;
  HostMount a_, b_;
  std::unique_ptr<Variant> variant_;
  const UnixTime after_;
};

using Variants = ::testing::Types<PlainMerge, LinkedMerge>;
TYPED_TEST_SUITE(MergeTest, Variants);

TYPED_TEST(MergeTest, FreshRootIsAnEmptyDirectoryOfTheCreationTime) {
  EXPECT_TRUE(this->Fs().ReadDir(Path()).empty());
  const Stat root = this->Fs().GetStat(Path());
  EXPECT_EQ(root.flags, FLAG_DIR);
  EXPECT_EQ(root.size, 0);
  EXPECT_GE(root.mtime.value, this->before_.value);
  EXPECT_LE(root.mtime.value, this->after_.value);
  EXPECT_EQ(root.atime.value, root.mtime.value);
  EXPECT_EQ(root.ctime.value, root.mtime.value);
}

TYPED_TEST(MergeTest, RootListsMountsInPathOrderWithTheirRootStats) {
  this->variant_->Mount(U"b", this->b_.recorder);
  this->variant_->Mount(U"a", this->a_.recorder);
  const auto entries = this->Fs().ReadDir(Path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], Entry(U"a", this->a_.chroot.GetStat(Path())));
  EXPECT_EQ(entries[1], Entry(U"b", this->b_.chroot.GetStat(Path())));
  EXPECT_THAT(this->a_.recorder.Calls(), ElementsAre("GetStat "));
}

TYPED_TEST(MergeTest, RootMountPointAndInsideTable) {
  this->variant_->Mount(U"a", this->a_.recorder);
  Filesystem& fs = this->Fs();
  struct Case {
    const char* name;
    std::function<void()> call;
    uint32_t code;     // E_OK when the call is forwarded
    const char* text;  // the error text, or the one line the mounted filesystem sees
  };
  const Case cases[] = {
      {"GetStat mount point", [&] { fs.GetStat(U"a"); }, E_OK, "GetStat "},
      {"GetStat inside", [&] { fs.GetStat(U"a/x"); }, E_OK, "GetStat x"},
      {"ReadDir mount point", [&] { fs.ReadDir(U"a"); }, E_OK, "ReadDir "},
      {"ReadDir inside", [&] { fs.ReadDir(U"a/d"); }, E_OK, "ReadDir d"},
      {"SetTimes root", [&] { fs.SetTimes(Path(), AccessTime(1), ModifyTime(2)); }, E_NOSYS,
       "File times are not supported at this place"},
      {"SetTimes mount point", [&] { fs.SetTimes(U"a", AccessTime(1), ModifyTime(2)); }, E_OK, "SetTimes  1 2"},
      {"SetTimes inside", [&] { fs.SetTimes(U"a/x", AccessTime(1), ModifyTime(2)); }, E_OK, "SetTimes x 1 2"},
      {"MakeDir root", [&] { fs.MakeDir(Path()); }, E_ACCES, "Inaccessible directory"},
      {"MakeDir mount point", [&] { fs.MakeDir(U"a"); }, E_ACCES, "Inaccessible directory"},
      {"MakeDir inside", [&] { fs.MakeDir(U"a/new"); }, E_OK, "MakeDir new"},
      {"RemoveDir root", [&] { fs.RemoveDir(Path()); }, E_ACCES, "Inaccessible directory"},
      {"RemoveDir mount point", [&] { fs.RemoveDir(U"a"); }, E_ACCES, "Inaccessible directory"},
      {"RemoveDir inside", [&] { fs.RemoveDir(U"a/d"); }, E_OK, "RemoveDir d"},
      {"Delete root", [&] { fs.Delete(Path()); }, E_ACCES, "Inaccessible file"},
      {"Delete mount point", [&] { fs.Delete(U"a"); }, E_ACCES, "Inaccessible file"},
      {"Delete inside", [&] { fs.Delete(U"a/x"); }, E_OK, "Delete x"},
      {"SetFlags root", [&] { fs.SetFlags(Path(), FLAG_WRITE); }, E_ACCES, "Inaccessible file"},
      {"SetFlags mount point", [&] { fs.SetFlags(U"a", FLAG_WRITE); }, E_ACCES, "Inaccessible file"},
      {"SetFlags inside", [&] { fs.SetFlags(U"a/x", FLAG_WRITE); }, E_OK, "SetFlags x 4"},
      {"Open root", [&] { fs.Open(Path(), File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); }, E_INVAL,
       "Invalid path split level"},
      {"Open mount point", [&] { fs.Open(U"a", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); }, E_OK,
       "Open  mode=0 access=0 flags=0"},
      {"Open inside", [&] { fs.Open(U"a/x", File::MODE_OPEN_ALWAYS, File::ACCESS_RW, FLAG_EXE); }, E_OK,
       "Open x mode=2 access=2 flags=2"},
      {"GetStat unmounted", [&] { fs.GetStat(U"q/x"); }, E_NOENT, "Mount point not found"},
      {"Open unmounted", [&] { fs.Open(U"q", File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0); }, E_NOENT,
       "Mount point not found"},
      {"MakeDir unmounted", [&] { fs.MakeDir(U"q/new"); }, E_NOENT, "Mount point not found"},
  };
  for (const Case& c : cases) {
    this->a_.Reset();
    const auto caught = CatchError(c.call);
    EXPECT_EQ(caught.code, c.code) << c.name << ": " << caught.full;
    if (c.code == E_OK) {
      EXPECT_THAT(this->a_.recorder.Calls(), ElementsAre(c.text)) << c.name;
    } else {
      EXPECT_EQ(caught.text, c.text) << c.name;
      EXPECT_TRUE(this->a_.recorder.Calls().empty()) << c.name;
    }
    if (caught.code == E_NOENT) {
      EXPECT_EQ(caught.details, (DetailPairs{{"path", "q"}})) << c.name;
    }
  }
}

TYPED_TEST(MergeTest, RenameRules) {
  this->variant_->Mount(U"a", this->a_.recorder);
  this->variant_->Mount(U"b", this->b_.recorder);
  struct Case {
    const char32_t* from;
    const char32_t* to;
    uint32_t code;
    const char* text;
    DetailPairs details;
  };
  const Case cases[] = {
      {U"a/x", U"b/x", E_XDEV, "Could not move file between different mount points", {}},
      {U"q/x", U"r/x", E_XDEV, "Could not move file between different mount points", {}},
      {U"a", U"a/g", E_ACCES, "Old location is read only", {{"path", "a"}}},
      {U"", U"a/g", E_ACCES, "Old location is read only", {{"path", ""}}},
      {U"a/x", U"a", E_ACCES, "New location is read only", {{"path", "a"}}},
      {U"a/x", U"", E_ACCES, "New location is read only", {{"path", ""}}},
      {U"q/x", U"q/y", E_NOENT, "Mount point not found", {{"path", "q"}}},
  };
  for (const Case& c : cases) {
    const auto caught = CatchError([&] { this->Fs().Rename(c.from, c.to, 0); });
    EXPECT_EQ(caught.code, c.code) << caught.full;
    EXPECT_EQ(caught.text, c.text);
    EXPECT_EQ(caught.details, c.details) << caught.full;
  }
  EXPECT_TRUE(this->a_.recorder.Calls().empty());
  EXPECT_TRUE(this->b_.recorder.Calls().empty());

  this->Fs().Rename(U"a/x", U"a/d/y", Filesystem::kRenameNoReplace);
  EXPECT_EQ(this->a_.recorder.CallsStartingWith("Rename "), std::vector<std::string>{"Rename x d/y flags=1"});
  EXPECT_TRUE(std::filesystem::exists(this->a_.dir.path() + "/d/y"));
}

TYPED_TEST(MergeTest, MountTable) {
  this->variant_->Mount(U"a", this->a_.recorder);
  for (const Path& bad : {Path(), Path(U"a/b")}) {
    const auto caught = CatchError([&] { this->variant_->Mount(bad, this->b_.recorder); });
    EXPECT_EQ(caught.code, E_INVAL);
    EXPECT_EQ(caught.text, "Mount point name is invalid");
    EXPECT_EQ(caught.details, (DetailPairs{{"name", bad.ToString()}}));
    EXPECT_EQ(CatchError([&] { this->variant_->merge.Umount(bad); }).text, "Mount point name is invalid");
  }
  auto caught = CatchError([&] { this->variant_->Mount(U"a", this->b_.recorder); });
  EXPECT_EQ(caught.code, E_EXIST);
  EXPECT_EQ(caught.text, "Mount point already exists");
  this->Fs().GetStat(U"a/x");
  EXPECT_EQ(this->a_.recorder.Calls().size(), 1u);  // the first mount stays
  EXPECT_TRUE(this->b_.recorder.Calls().empty());

  caught = CatchError([&] { this->variant_->merge.Umount(U"zz"); });
  EXPECT_EQ(caught.code, E_INVAL);
  EXPECT_EQ(caught.text, "Unexpected umount count");
  EXPECT_EQ(caught.details, (DetailPairs{{"count", "0"}}));

  this->variant_->merge.Umount(U"a");
  EXPECT_EQ(CatchError([&] { this->Fs().GetStat(U"a/x"); }).text, "Mount point not found");
  EXPECT_TRUE(this->Fs().ReadDir(Path()).empty());
  this->variant_->Mount(U"a", this->b_.recorder);  // the name is free again
  EXPECT_EQ(this->Fs().ReadDir(Path()).size(), 1u);
}

// ---- MergeFilesystem2 only ----

class MergeFilesystem2Test : public ::testing::Test {
 protected:
  HostMount a_, b_;
  LinkedMerge merge_;
};

TEST_F(MergeFilesystem2Test, CutLinkFailsTheWholeRootListing) {
  merge_.Mount(U"a", a_.recorder);
  merge_.Mount(U"b", b_.recorder);
  merge_.links[1]->Revoke();
  for (auto call : std::vector<std::function<void()>>{[&] { merge_.merge.ReadDir(Path()); },
                                                      [&] { merge_.merge.GetStat(U"b/x"); }}) {
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_BADF);
    EXPECT_EQ(caught.text, "Object doesn't exist");
  }
  EXPECT_EQ(merge_.merge.GetStat(U"a/x").size, 5);
}

TEST_F(MergeFilesystem2Test, ForwardedCallRunsOutsideTheTableLockOnItsOwnShareOfTheLink) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  a_.recorder.hook = [&](const std::string& call) {
    if (call == "GetStat x") {
      entered.set_value();
      released.wait();
    }
  };
  merge_.Mount(U"a", a_.recorder);
  merge_.Mount(U"b", b_.recorder);
  std::weak_ptr<FilesystemLink> watched = merge_.links[0];
  merge_.links.clear();  // from here the table holds the only other share

  auto inFlight = std::async(std::launch::async, [&] { return merge_.merge.GetStat(U"a/x"); });
  entered.get_future().wait();
  // With the call still inside the mounted filesystem, the table stays usable.
  auto others = std::async(std::launch::async, [&] {
    merge_.merge.Umount(U"a");
    merge_.merge.Mount(U"c", std::make_shared<FilesystemLink>(&b_.recorder));
    return merge_.merge.ReadDir(Path()).size();
  });
  const bool finished = others.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(finished) << "the table lock was held during a forwarded call";
  EXPECT_FALSE(watched.expired());  // the call in flight keeps the link alive
  release.set_value();
  EXPECT_EQ(inFlight.get().size, 5);
  EXPECT_EQ(others.get(), 2u);
  EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace OST
