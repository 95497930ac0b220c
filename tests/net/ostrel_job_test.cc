#include "net/ostrel_job.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/error.h"
#include "core/log.h"
#include "net/peers.h"
#include "util/process.h"
#include "util/test_streams.h"
#include "util/wait.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records restart requests.
struct CountingRestartable : Restartable {
  void RequestRestart() override { ++requests; }
  int requests = 0;
};

class NetworkSideTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TEST_ResetLogSwitches();
    LogEnabled[kLogVerbose2] = 1;
    std::filesystem::create_directory(dir_.path() + "/docs");
    std::filesystem::create_directory(dir_.path() + "/pics");
    dir_.WriteFile("docs/a.txt", "hello");
    dir_.WriteFile("node.json", ConfigText({"alice"}));
    config_ = std::make_unique<LocalConfig>(Path::FromUtf8(dir_.path() + "/node.json"));
    options_.mountLoopback = true;
  }
  void TearDown() override { TEST_ResetLogSwitches(); }

  // A configuration offering docs (writable) and pics to each named peer.
  std::string ConfigText(const std::vector<std::string>& names) const {
    std::string peers;
    int id = 2;
    for (const std::string& name : names) {
      if (!peers.empty()) peers += ",";
      peers += "{\"id\": \"" + std::to_string(id++) + "\", \"name\": \"" + name + "\", \"shares\": [" +
               "{\"path\": \"" + dir_.path() + "/docs\", \"write\": true}, {\"path\": \"" + dir_.path() + "/pics\"}]}";
    }
    return "{\"id\": \"1\", \"peers\": [" + peers + "]}";
  }

  std::vector<std::string> Names(const Path& path) {
    std::vector<std::string> names;
    for (const Entry& e : root_.ReadDir(path)) names.push_back(e.name.ToString());
    return names;
  }

  bool Lists(const Path& path, const std::string& name) {
    try {
      const auto names = Names(path);
      return std::find(names.begin(), names.end(), name) != names.end();
    } catch (const Error&) {
      return false;
    }
  }

  int CountLines(const std::string& message) {
    int n = 0;
    for (const std::string& line : log_.Lines()) n += line.ends_with(" " + message);
    return n;
  }

  testutil::CapturedLog log_;
  testutil::TempDir dir_;
  std::unique_ptr<LocalConfig> config_;
  MergeFilesystem2 root_;
  std::map<uint64_t, ConfigFile> peerFiles_;
  Options options_;
};

TEST_F(NetworkSideTest, LoopbackShowsEachPeersSharesWithItsRights) {
  CountingRestartable restartable;
  dir_.WriteFile("node.json", ConfigText({"alice", "bob"}));
  config_ = std::make_unique<LocalConfig>(Path::FromUtf8(dir_.path() + "/node.json"));
  {
    Peers peers(root_, *config_, 1, restartable, peerFiles_, options_);
    EXPECT_THAT(Names(Path()), ElementsAre("Loopback"));
    EXPECT_THAT(Names(Path(U"Loopback")), ElementsAre("alice", "bob"));
    EXPECT_THAT(Names(Path(U"Loopback/alice")), ElementsAre("docs", "pics"));
    auto file = root_.Open(Path(U"Loopback/bob/docs/new.txt"), File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE);
    file->Write("x", 1);
    file.reset();
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/docs/new.txt"));
    try {
      root_.Open(Path(U"Loopback/bob/pics/new.txt"), File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE);
      ADD_FAILURE() << "wrote to a read-only share";
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_ACCES);
      EXPECT_EQ(e.Text(), "Read only filesystem");
    }
  }
  EXPECT_THAT(Names(Path()), IsEmpty());  // the registry unmounts what it mounted
  EXPECT_EQ(restartable.requests, 0);
}

TEST_F(NetworkSideTest, WithoutLoopbackOptionNothingIsMounted) {
  CountingRestartable restartable;
  options_.mountLoopback = false;
  Peers peers(root_, *config_, 1, restartable, peerFiles_, options_);
  EXPECT_THAT(Names(Path()), IsEmpty());
}

TEST_F(NetworkSideTest, InvalidPeerNameFailsTheRegistryAndLeavesRootEmpty) {
  CountingRestartable restartable;
  dir_.WriteFile("node.json", ConfigText({"alice", "bad:name"}));
  config_ = std::make_unique<LocalConfig>(Path::FromUtf8(dir_.path() + "/node.json"));
  EXPECT_THROW(Peers(root_, *config_, 1, restartable, peerFiles_, options_), Error);
  EXPECT_THAT(Names(Path()), IsEmpty());
}

TEST_F(NetworkSideTest, StopEndsJobAfterOneTakeDownAndReload) {
  {
    SimpleJobRunner runner;
    runner.Run(std::make_unique<OstrelJob>(*config_, root_, 1, peerFiles_, options_));
    ASSERT_TRUE(testutil::WaitUntil([&] { return Lists(Path(U"Loopback"), "alice"); }));
    runner.Stop();
    runner.WaitEmpty();
  }
  EXPECT_THAT(Names(Path()), IsEmpty());
  EXPECT_EQ(CountLines("Starting peer threads"), 1);
  EXPECT_EQ(CountLines("Peer threads stopped"), 1);
  EXPECT_EQ(CountLines("Stopped"), 1);
}

TEST_F(NetworkSideTest, RestartRebuildsFromTheAcceptedConfiguration) {
  SimpleJobRunner runner;
  auto job = std::make_unique<OstrelJob>(*config_, root_, 1, peerFiles_, options_);
  OstrelJob& jobRef = *job;
  runner.Run(std::move(job));
  ASSERT_TRUE(testutil::WaitUntil([&] { return Lists(Path(U"Loopback"), "alice"); }));
  // A newer configuration arrives, as from the configuration server.
  const ModifyTime newer(config_->StoredFile().Version().value + 10);
  ASSERT_TRUE(config_->StoredFile().AcceptNewConfig(ConfigText({"alice", "carol"}), newer));
  jobRef.RequestRestart();
  EXPECT_TRUE(testutil::WaitUntil([&] { return Lists(Path(U"Loopback"), "carol"); }));
  EXPECT_EQ(CountLines("Starting peer threads"), 2);
  runner.Stop();
  runner.WaitEmpty();
}

TEST_F(NetworkSideTest, RestartRequestsBeforeTheWaitAreCoalescedNotLost) {
  SimpleJobRunner runner;
  auto job = std::make_unique<OstrelJob>(*config_, root_, 1, peerFiles_, options_);
  OstrelJob& jobRef = *job;
  jobRef.RequestRestart();  // both arrive before JobMain waits the first time
  jobRef.RequestRestart();
  runner.Run(std::move(job));
  ASSERT_TRUE(testutil::WaitUntil([&] { return CountLines("Starting peer threads") == 2; }));
  ASSERT_TRUE(testutil::WaitUntil([&] { return Lists(Path(U"Loopback"), "alice"); }));
  runner.Stop();
  runner.WaitEmpty();
  EXPECT_EQ(CountLines("Starting peer threads"), 2);
  EXPECT_EQ(CountLines("Peer threads stopped"), 2);
}

TEST_F(NetworkSideTest, RegistryFailureEndsJobWithLoggedError) {
  dir_.WriteFile("node.json", ConfigText({"bad:name"}));
  config_ = std::make_unique<LocalConfig>(Path::FromUtf8(dir_.path() + "/node.json"));
  SimpleJobRunner runner;
  runner.Run(std::make_unique<OstrelJob>(*config_, root_, 1, peerFiles_, options_));
  runner.WaitEmpty();
  bool logged = false;
  for (const std::string& line : log_.Lines()) logged |= line.find(" error: Code: E_INVAL") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_EQ(CountLines("Peer threads stopped"), 0);
}

}  // namespace
}  // namespace OST
