// The configuration store over real files: versions are real modification
// times, writes replace files whole, and the network directory load.
#include "config/config_file.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "util/catch_error.h"
#include "util/process.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using testutil::HiddenFiles;

using testutil::CatchError;
using testutil::DetailPairs;

struct HostFile {
  bool exists = false;
  std::string text;
  int64_t atime = -1;
  int64_t mtime = -1;
  mode_t mode = 0;
};

HostFile ReadHost(const std::string& path) {
  HostFile file;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return file;
  file.exists = true;
  file.atime = info.st_atime;
  file.mtime = info.st_mtime;
  file.mode = info.st_mode & 07777;
  std::ifstream in(path, std::ios::binary);
  file.text.assign(std::istreambuf_iterator<char>(in), {});
  return file;
}

void SetHostTimes(const std::string& path, int64_t atime, int64_t mtime) {
  const timeval times[2] = {{static_cast<time_t>(atime), 0}, {static_cast<time_t>(mtime), 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}


class ConfigStoreTest : public ::testing::Test {
 protected:
  ConfigStoreTest() { LogEnabled[kLogVerbose1] = 1; }

  std::string HostPath(const std::string& name) const { return temp_.path() + "/" + name; }
  Path StorePath(const std::string& name) const { return Path::FromUtf8(HostPath(name)); }
  // A file with the given text and modification time.
  void Write(const std::string& name, const std::string& text, int64_t mtime) {
    temp_.WriteFile(name, text);
    SetHostTimes(HostPath(name), mtime, mtime);
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : log_.Lines()) {
      // Short form: time stamp, thread number, message.
      const size_t first = line.find(' ');
      const size_t second = line.find(' ', first + 1);
      messages.push_back(line.substr(second + 1));
    }
    return messages;
  }

  testutil::TempDir temp_;
  testutil::CapturedLog log_;
};

TEST_F(ConfigStoreTest, FreshFileAcceptsTheFirstTextAboveVersionZero) {
  ConfigFile file(StorePath("peer.json"), false);
  EXPECT_EQ(file.Version(), ModifyTime(0));
  EXPECT_FALSE(ReadHost(HostPath("peer.json")).exists);
  EXPECT_FALSE(file.AcceptNewConfig("{}", ModifyTime(0)));
  EXPECT_FALSE(ReadHost(HostPath("peer.json")).exists);

  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_TRUE(file.AcceptNewConfig("{\"id\":\"2\"}", ModifyTime(1700000000)));
  const HostFile host = ReadHost(HostPath("peer.json"));
  EXPECT_EQ(host.text, "{\"id\":\"2\"}");
  EXPECT_EQ(host.mtime, 1700000000);
  EXPECT_EQ(host.atime, 0);
  EXPECT_EQ(host.mode, 0644 & ~mask);
  EXPECT_EQ(file.Text(), "{\"id\":\"2\"}");
  EXPECT_EQ(file.Version(), ModifyTime(1700000000));
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Ignored outdated configuration", "Accepted configuration update"}));
  EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
}

TEST_F(ConfigStoreTest, AcceptNewConfigOutcomes) {
  const struct {
    std::string text;
    int64_t version;
    bool accepted;
    const char* message;
  } cases[] = {
      {"", 3000, false, "Ignored empty configuration"},
      {"stored", 2000, false, "Configuration is up-to-date"},
      {"stored", 3000, true, "Accepted configuration update"},
      {"stored", 1999, false, "Ignored outdated configuration"},
      {"other", 2000, false, "Ignored outdated configuration"},
      {"other", 1999, false, "Ignored outdated configuration"},
      {"other", 2001, true, "Accepted configuration update"},
  };
  for (const auto& c : cases) {
    Write("node.json", "stored", 2000);
    testutil::CapturedLog log;
    LogEnabled[kLogVerbose1] = 1;
    ConfigFile file(StorePath("node.json"), true);
    ASSERT_EQ(file.Version(), ModifyTime(2000));
    ASSERT_EQ(file.Text(), "stored");
    EXPECT_EQ(file.AcceptNewConfig(c.text, ModifyTime(c.version)), c.accepted) << c.text << " " << c.version;
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.HasLineEndingWith(std::string(" ") + c.message)) << log.Lines()[0];
    const HostFile host = ReadHost(HostPath("node.json"));
    const std::string expectText = c.accepted ? c.text : "stored";
    const int64_t expectVersion = c.accepted ? c.version : 2000;
    EXPECT_EQ(host.text, expectText) << c.text << " " << c.version;
    EXPECT_EQ(host.mtime, expectVersion) << c.text << " " << c.version;
    EXPECT_EQ(file.Text(), expectText);
    EXPECT_EQ(file.Version(), ModifyTime(expectVersion));
  }
}

TEST_F(ConfigStoreTest, ReplacedFileKeepsItsPermissionsAndLeavesNoTemporaryFile) {
  Write("secret.json", "old", 100);
  ASSERT_EQ(::chmod(HostPath("secret.json").c_str(), 0600), 0);
  ConfigFile file(StorePath("secret.json"), true);
  EXPECT_TRUE(file.AcceptNewConfig("new", ModifyTime(200)));
  const HostFile host = ReadHost(HostPath("secret.json"));
  EXPECT_EQ(host.text, "new");
  EXPECT_EQ(host.mode, 0600u);
  EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
}

TEST_F(ConfigStoreTest, FailedWriteChangesNothing) {
  // The file's place holds a directory, so the final rename fails after the
  // text has been written to the temporary file.
  std::filesystem::create_directory(HostPath("node.json"));
  ConfigFile file(StorePath("node.json"), false);
  const auto caught = CatchError([&] { file.AcceptNewConfig("text", ModifyTime(10)); });
  ASSERT_TRUE(caught.thrown);
  EXPECT_EQ(caught.text, "Could not rename file");
  EXPECT_EQ(file.Text(), "");
  EXPECT_EQ(file.Version(), ModifyTime(0));
  EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
  EXPECT_TRUE(std::filesystem::is_directory(HostPath("node.json")));

  // A missing directory fails at the first step.
  ConfigFile nowhere(StorePath("missing/node.json"), false);
  EXPECT_EQ(CatchError([&] { nowhere.AcceptNewConfig("text", ModifyTime(10)); }).text, "Could not open file");
  EXPECT_EQ(nowhere.Version(), ModifyTime(0));
  // Afterwards a good write still goes through.
  std::filesystem::remove(HostPath("node.json"));
  EXPECT_TRUE(file.AcceptNewConfig("text", ModifyTime(10)));
  EXPECT_EQ(ReadHost(HostPath("node.json")).text, "text");
}

TEST_F(ConfigStoreTest, ConcurrentOffersKeepTheNewestVersion) {
  ConfigFile file(StorePath("node.json"), false);
  constexpr int kThreads = 4;
  constexpr int kOffers = 20;
  std::latch start(kThreads);
  std::vector<std::future<int>> accepted;
  for (int t = 0; t < kThreads; ++t) {
    accepted.push_back(std::async(std::launch::async, [&, t] {
      start.arrive_and_wait();
      int count = 0;
      for (int i = 1; i <= kOffers; ++i) {
        const int64_t version = i * kThreads + t;
        count += file.AcceptNewConfig("v" + std::to_string(version), ModifyTime(version));
      }
      return count;
    }));
  }
  int total = 0;
  for (auto& a : accepted) total += a.get();
  EXPECT_GE(total, 1);
  const int64_t newest = kOffers * kThreads + kThreads - 1;
  EXPECT_EQ(file.Version(), ModifyTime(newest));
  const HostFile host = ReadHost(HostPath("node.json"));
  EXPECT_EQ(host.text, "v" + std::to_string(newest));
  EXPECT_EQ(host.mtime, newest);
  EXPECT_TRUE(HiddenFiles(temp_.path()).empty());
}

TEST_F(ConfigStoreTest, MovedFileKeepsPathTextAndVersion) {
  Write("a.json", "text", 55);
  ConfigFile first(StorePath("a.json"), true);
  ConfigFile moved(std::move(first));
  EXPECT_EQ(moved.Text(), "text");
  EXPECT_EQ(moved.Version(), ModifyTime(55));
  EXPECT_EQ(moved.FilePath(), StorePath("a.json"));
  EXPECT_TRUE(moved.AcceptNewConfig("next", ModifyTime(56)));
  EXPECT_EQ(ReadHost(HostPath("a.json")).text, "next");
}

TEST_F(ConfigStoreTest, LocalConfigLoadsAndReloads) {
  Write("me.json", R"({"id":"1","peers":[{"id":"2","name":"bob"}]})", 100);
  LocalConfig local(StorePath("me.json"));
  EXPECT_EQ(local.Current().id, 1u);
  EXPECT_EQ(local.Current().PeerCfgById(2).name, "bob");

  // A new text is parsed only when Load is called.
  ASSERT_TRUE(local.StoredFile().AcceptNewConfig(R"({"id":"1","peers":[{"id":"3"}]})", ModifyTime(200)));
  EXPECT_NE(local.Current().FindPeerCfgById(2), nullptr);
  local.Load();
  EXPECT_EQ(local.Current().FindPeerCfgById(2), nullptr);
  EXPECT_EQ(local.Current().PeerCfgById(3).name, "0x03");

  // A bad text leaves the old Config and names the file.
  ASSERT_TRUE(local.StoredFile().AcceptNewConfig(R"({"id":"1","bad":1})", ModifyTime(300)));
  const auto caught = CatchError([&] { local.Load(); });
  EXPECT_EQ(caught.text, "Unknown field");
  EXPECT_EQ(caught.details.back(), (std::pair<std::string, std::string>("path", StorePath("me.json").ToString())));
  EXPECT_EQ(local.Current().PeerCfgById(3).name, "0x03");

  // Errors at construction: a missing file, a bad text.
  EXPECT_EQ(CatchError([&] { LocalConfig missing(StorePath("none.json")); }).text, "Could not get file stat");
  Write("bad.json", "{\"id\":", 1);
  const auto parse = CatchError([&] { LocalConfig bad(StorePath("bad.json")); });
  EXPECT_EQ(parse.text, "Could not parse configuration");
  EXPECT_EQ(parse.details.back().first, "path");
}

class NetworkConfigTest : public ConfigStoreTest {
 protected:
  NetworkConfigTest() { std::filesystem::create_directory(HostPath("net")); }
  void Node(const std::string& name, const std::string& text, int64_t mtime = 1000) { Write("net/" + name, text, mtime); }
  Path NetDir() const { return StorePath("net"); }
};

TEST_F(NetworkConfigTest, LoadsEveryNodeButTheRootAndSkipsHiddenFilesAndDirectories) {
  Node("a.json", R"({"id":"1","peers":[{"id":"2","name":"b","addrs":["h:1"]}]})", 1111);
  Node("b.json", R"({"id":"2","peers":[{"id":"1","name":"a"}]})", 2222);
  Node("c.txt", R"({"id":"3"})", 3333);
  Node(".hidden", "not json at all");
  std::filesystem::create_directory(HostPath("net/sub"));
  temp_.WriteFile("net/sub/x.json", "not json either");

  std::map<uint64_t, ConfigFile> files;
  files.emplace(3, ConfigFile(StorePath("kept.json"), false));
  LoadNetworkConfig(NetDir(), 1, files);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count(1), 0u);
  EXPECT_EQ(files.at(2).Text(), R"({"id":"2","peers":[{"id":"1","name":"a"}]})");
  EXPECT_EQ(files.at(2).Version(), ModifyTime(2222));
  EXPECT_EQ(files.at(2).FilePath(), StorePath("net/b.json"));
  EXPECT_EQ(files.at(3).FilePath(), StorePath("kept.json"));  // an existing entry stays
  EXPECT_TRUE(Messages().empty());
}

TEST_F(NetworkConfigTest, SizeLimitIsExactly256KiB) {
  const std::string body = R"({"id":"5"})";
  Node("exact.json", body + std::string(kMaxNetworkConfigSize - body.size(), ' '));
  std::map<uint64_t, ConfigFile> files;
  LoadNetworkConfig(NetDir(), 0, files);
  EXPECT_EQ(files.count(5), 1u);

  Node("big.bin", std::string(kMaxNetworkConfigSize + 1, 'x'));
  std::map<uint64_t, ConfigFile> none;
  const auto caught = CatchError([&] { LoadNetworkConfig(NetDir(), 0, none); });
  EXPECT_EQ(caught.code, E_FBIG);
  EXPECT_EQ(caught.text, "File is too big");
  EXPECT_EQ(caught.details, (DetailPairs{{"file", "big.bin"}}));
  EXPECT_TRUE(none.empty());
}

TEST_F(NetworkConfigTest, RefusedDirectoriesAddNothing) {
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> nodes;
    uint32_t code;
    const char* text;
    DetailPairs details;  // the first pairs
  } cases[] = {
      {"duplicate",
       {{"a.json", R"({"id":"7"})"}, {"b.json", R"({"id":"7"})"}},
       E_EXIST,
       "Duplicate configuration",
       {{"id", "07"}}},
      {"unparsable", {{"a.json", R"({"id":"1"})"}, {"b.json", R"({"id":)"}}, E_PARSE, "Could not parse configuration", {}},
      {"unknown key", {{"a.json", R"({"id":"1","x":2})"}}, E_INVAL, "Unknown field", {}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(HostPath("net"));
    std::filesystem::create_directory(HostPath("net"));
    for (const auto& [name, text] : c.nodes) Node(name, text);
    std::map<uint64_t, ConfigFile> files;
    const auto caught = CatchError([&] { LoadNetworkConfig(NetDir(), 0, files); });
    EXPECT_EQ(caught.code, c.code) << c.what << "\n" << caught.full;
    EXPECT_EQ(caught.text, c.text) << c.what;
    ASSERT_GE(caught.details.size(), c.details.size()) << c.what;
    EXPECT_EQ(DetailPairs(caught.details.begin(), caught.details.begin() + c.details.size()), c.details) << c.what;
    EXPECT_TRUE(files.empty()) << c.what;
  }
  std::map<uint64_t, ConfigFile> files;
  EXPECT_EQ(CatchError([&] { LoadNetworkConfig(StorePath("nowhere"), 0, files); }).text, "Could not open directory");
}

TEST_F(NetworkConfigTest, LinkWarnings) {
  // 1 lists 2 (dead: 2 does not list 1), 3 (external), 4 (secret mismatch,
  // addresses on one side) and 5 (secrets equal, no address on either side).
  Node("one.json", R"({"id":"1","peers":[
      {"id":"2","name":"two"},{"id":"9","name":"nine"},
      {"id":"4","name":"four","secret":"x","addrs":["h:1"]},{"id":"5","name":"five","secret":"s"}]})");
  Node("two.json", R"({"id":"2"})");
  Node("four.json", R"({"id":"4","peers":[{"id":"1","name":"one","secret":"y"}]})");
  Node("five.json", R"({"id":"5","peers":[{"id":"1","name":"one","secret":"s"}]})");
  std::map<uint64_t, ConfigFile> files;
  LoadNetworkConfig(NetDir(), 1, files);
  EXPECT_EQ(files.size(), 3u);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "one.json: dead link to node two:02",
                            "one.json: external link to node nine:09",
                            "one.json: secret mismatch with node four:04",
                            "one.json: no link to node five:05",
                            "four.json: secret mismatch with node one:01",
                            "five.json: no link to node one:01",
                        }));
}

}  // namespace
}  // namespace OST
