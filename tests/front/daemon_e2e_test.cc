// The daemon on one node, end to end: real mounts, real processes, everyday
// tools on the volume.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "util/mount.h"
#include "util/process.h"
#include "util/wait.h"

namespace OST {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using testutil::MountedProgram;
using testutil::ReadHostFile;
using testutil::RunProcess;
using testutil::RunShell;
using testutil::TempDir;

// The message part of each short-form log line ("date thread message").
std::vector<std::string> Messages(const std::string& output) {
  static const std::regex shortLine(R"(^[0-9]{8}-[0-9]{6}\.[0-9]{6} [0-9]{5} (.*)$)");
  std::vector<std::string> messages;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, shortLine)) messages.push_back(m[1]);
  }
  return messages;
}

// True when `expected` appear in `messages` in this order (others may come between).
bool InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& m : messages) {
    if (next < expected.size() && m.starts_with(expected[next])) ++next;
  }
  return next == expected.size();
}

// Processes whose command line holds `argument` (the daemon's unique mount point).
std::set<pid_t> ProcessesWithArgument(const std::string& argument) {
  std::set<pid_t> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cmdline = ReadHostFile(entry.path().string() + "/cmdline");
    std::string::size_type start = 0;
    for (std::string::size_type end; (end = cmdline.find('\0', start)) != std::string::npos; start = end + 1) {
      if (cmdline.compare(start, end - start, argument) == 0) pids.insert(std::stoi(name));
    }
  }
  return pids;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::FuseAvailable()) GTEST_SKIP() << "/dev/fuse is missing: the daemon cannot mount here";
    for (const char* d : {"docs", "pics"}) std::filesystem::create_directory(dir_.path() + "/" + d);
    dir_.WriteFile("docs/a.txt", "alpha\n");
    dir_.WriteFile("pics/p.txt", "picture\n");
    dir_.WriteFile("node.json", R"({"id": "1", "peers": [
      {"id": "2", "name": "alice", "secret": "s1",
       "shares": [{"path": ")" + dir_.path() + R"(/docs", "write": true}, {"path": ")" + dir_.path() + R"(/pics"}]},
      {"id": "3", "name": "bob", "secret": "s2", "shares": [{"path": ")" + dir_.path() + R"(/pics"}]}]})");
  }

  // Starts the daemon in the test directory with the options and
  // "-c node.json -m <mount point>".
  std::unique_ptr<MountedProgram> StartDaemon(std::vector<std::string> options) {
    return std::make_unique<MountedProgram>(
        [options](const std::string& mountPoint) {
          std::vector<std::string> argv{OSTRELD_PATH};
          argv.insert(argv.end(), options.begin(), options.end());
          argv.insert(argv.end(), {"-c", "node.json", "-m", mountPoint});
          return argv;
        },
        dir_.path());
  }

  std::string Sh(const std::string& script) {
    const auto result = RunShell(script, dir_.path(), 30);
    return result.output + "[exit " + std::to_string(result.exitStatus) + "]";
  }

  TempDir dir_;
};

TEST_F(DaemonTest, LoopbackShowsEachPeersSharesWithItsRights) {
  auto daemon = StartDaemon({"-f", "-S"});
  ASSERT_TRUE(daemon->WaitForMount()) << daemon->Output();
  const std::string m = daemon->MountPoint();
  EXPECT_EQ(Sh("ls " + m), "Loopback\n[exit 0]");
  EXPECT_EQ(Sh("ls " + m + "/Loopback"), "alice\nbob\n[exit 0]");
  EXPECT_EQ(Sh("ls " + m + "/Loopback/alice " + m + "/Loopback/bob"),
            m + "/Loopback/alice:\ndocs\npics\n\n" + m + "/Loopback/bob:\npics\n[exit 0]");
  EXPECT_EQ(Sh("cat " + m + "/Loopback/alice/docs/a.txt"), "alpha\n[exit 0]");
  EXPECT_EQ(Sh("echo new > " + m + "/Loopback/alice/docs/b.txt && cat docs/b.txt"), "new\n[exit 0]");
  EXPECT_THAT(Sh("echo no > " + m + "/Loopback/alice/pics/q.txt"), HasSubstr("Permission denied"));
  EXPECT_THAT(Sh("rm " + m + "/Loopback/bob/pics/p.txt"), HasSubstr("Permission denied"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/pics/q.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/pics/p.txt"));
  EXPECT_EQ(daemon->Stop(), 0);
}

TEST_F(DaemonTest, WithoutLoopbackOptionTheRootIsEmpty) {
  auto daemon = StartDaemon({"-f"});
  ASSERT_TRUE(daemon->WaitForMount()) << daemon->Output();
  EXPECT_EQ(Sh("ls -A " + daemon->MountPoint()), "[exit 0]");
  EXPECT_EQ(daemon->Stop(), 0);
}

const std::vector<std::string> kStartUp = {"Build ", "LogLevel=2", "Starting filesystem", "Starting network",
                                           "Starting fuse argv=["};
const std::vector<std::string> kShutDown = {"Fuse exited with code 0", "Fuse stopped", "Network stopped",
                                            "Filesystem stopped", "Stopped"};

TEST_F(DaemonTest, VerboseLinesInOrderWhenUnmounted) {
  auto daemon = StartDaemon({"-f", "-v", "-v"});
  ASSERT_TRUE(daemon->WaitForMount()) << daemon->Output();
  EXPECT_EQ(daemon->Stop(), 0);
  const auto messages = Messages(daemon->Output());
  std::vector<std::string> all = kStartUp;
  all.insert(all.end(), kShutDown.begin(), kShutDown.end());
  EXPECT_TRUE(InOrder(messages, all)) << daemon->Output();
  EXPECT_TRUE(InOrder(messages, {"Starting peer threads", "Peer threads stopped", "Stopped", "Network stopped"}))
      << daemon->Output();
  EXPECT_EQ(messages.back(), "Stopped");
}

// The signal comes as soon as the mount appears: also while FUSE is still
// setting up its loop, which must not leave the mount behind.
TEST_F(DaemonTest, SigtermAndSigintStopInOrder) {
  for (int signal : {SIGTERM, SIGINT, SIGTERM, SIGINT, SIGTERM, SIGINT}) {
    auto daemon = StartDaemon({"-f", "-v", "-v"});
    ASSERT_TRUE(daemon->WaitForMount()) << daemon->Output();
    ASSERT_EQ(kill(daemon->Pid(), signal), 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return !daemon->Running(); })) << daemon->Output();
    EXPECT_FALSE(daemon->Mounted());
    EXPECT_EQ(daemon->Stop(), 0) << signal;
    EXPECT_TRUE(InOrder(Messages(daemon->Output()), kShutDown)) << daemon->Output();
  }
}

TEST_F(DaemonTest, BackgroundWithLogFileForksAndKeepsLogging) {
  auto daemon = StartDaemon({"-v", "-v", "-S", "-l", "daemon.log", "-s", "100000"});
  // The started process forks and ends at once: wait for the mount itself.
  ASSERT_TRUE(testutil::WaitUntil([&] { return daemon->Mounted(); })) << daemon->Output();
  const std::string m = daemon->MountPoint();
  // The process that was started is the parent: it has ended with status 0,
  // while the child serves the volume.
  ASSERT_TRUE(testutil::WaitUntil([&] { return !daemon->Running(); }));
  const std::set<pid_t> children = ProcessesWithArgument(m);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children.count(daemon->Pid()), 0u);
  EXPECT_EQ(Sh("cat " + m + "/Loopback/bob/pics/p.txt"), "picture\n[exit 0]");

  const std::string log = dir_.path() + "/daemon.log";
  EXPECT_TRUE(testutil::WaitUntil([&] { return ReadHostFile(log).find("Starting fuse argv=") != std::string::npos; }));
  EXPECT_EQ(daemon->Stop(), 0);  // unmounts; the parent's status
  const pid_t child = *children.begin();
  EXPECT_TRUE(testutil::WaitUntil([&] { return kill(child, 0) != 0; })) << "the child did not end";
  if (kill(child, 0) == 0) kill(child, SIGKILL);

  const auto logged = Messages(ReadHostFile(log));
  EXPECT_TRUE(InOrder(logged, {"Switching to background", "Starting network", "Starting fuse argv=["}))
      << ReadHostFile(log);
  EXPECT_TRUE(InOrder(logged, kShutDown)) << ReadHostFile(log);
  // The console saw everything up to the switch, and the file line.
  const auto console = Messages(daemon->Output());
  EXPECT_TRUE(InOrder(console, {"Switching logging to daemon.log", "Circular log file ", "Switching to background"}));
  EXPECT_THAT(console.back(), "Switching to background");
}

TEST_F(DaemonTest, BackgroundWithoutLogFileLogsNothingAfterTheSwitch) {
  auto daemon = StartDaemon({"-v", "-v"});
  ASSERT_TRUE(testutil::WaitUntil([&] { return daemon->Mounted(); })) << daemon->Output();
  const std::set<pid_t> children = ProcessesWithArgument(daemon->MountPoint());
  EXPECT_EQ(daemon->Stop(), 0);
  for (pid_t child : children) {
    EXPECT_TRUE(testutil::WaitUntil([&] { return kill(child, 0) != 0; }));
    if (kill(child, 0) == 0) kill(child, SIGKILL);
  }
  const auto messages = Messages(daemon->Output());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "Switching to background") << daemon->Output();
}

TEST_F(DaemonTest, ArgumentFileStartsTheDaemon) {
  auto daemon = std::make_unique<MountedProgram>(
      [this](const std::string& mountPoint) {
        dir_.WriteFile("ostrel.args", "-f -S -c node.json -m " + mountPoint + "\n");
        return std::vector<std::string>{OSTRELD_PATH};
      },
      dir_.path());
  ASSERT_TRUE(daemon->WaitForMount()) << daemon->Output();
  EXPECT_EQ(Sh("ls " + daemon->MountPoint()), "Loopback\n[exit 0]");
  EXPECT_EQ(daemon->Stop(), 0);
}

TEST_F(DaemonTest, MountFailureStopsInOrderWithStatusOne) {
  const auto result = RunProcess({OSTRELD_PATH, "-f", "-v", "-v", "-c", "node.json", "-m", "no-such-dir"},
                                 dir_.path(), 30);
  EXPECT_EQ(result.exitStatus, 1) << result.output;
  const auto messages = Messages(result.output);
  EXPECT_TRUE(InOrder(messages, {"Fuse exited with code 1", "Fuse stopped", "Network stopped", "Filesystem stopped",
                                 "Stopped"}))
      << result.output;
}

// Start-up refusals: exit status (the code's low 8 bits) and the logged error.
TEST(DaemonStartUp, RefusalsWithStatusAndMessage) {
  TempDir dir;
  dir.WriteFile("node.json", R"({"id": "1", "peers": [{"id": "2", "name": "alice"}]})");
  dir.WriteFile("broken.json", "{\"id\": \"1\",\n  \"peers\" []}");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"-m", "mnt"}, 250, "Text: \"Config file is not specified\""},
      {{"-c", "missing.json", "-m", "mnt"}, 234, "Text: \"Could not get file stat\""},
      {{"-c", "node.json"}, 250, "Text: \"Mount point is not specified\""},
      {{"-M", "-r", "alice", "-c", "node.json", "-m", "mnt"}, 250,
       "Text: \"Either serving or syncing of configuration should be selected\""},
      {{"-r", "99", "-c", "node.json", "-m", "mnt"}, 250, "Text: \"Unknown root node\", id: \"99\""},
      {{"-r", "carol", "-c", "node.json", "-m", "mnt"}, 250, "Text: \"Hex value is invalid\", hex: \"carol\""},
      {{"-c", "broken.json", "-m", "mnt"}, 3001 % 256,
       "Code: E_PARSE, Text: \"Could not parse configuration\", what: \"Expected colon\", offset: \"22\", "
       "line: \"2\", column: \"11\""},
      {{"-s-5", "-l", "x.log", "-c", "node.json", "-m", "mnt"}, 250,
       "Text: \"Circular file size is too small\""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{OSTRELD_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto result = RunProcess(argv, dir.path(), 30);
    EXPECT_EQ(result.exitStatus, c.status) << result.output;
    EXPECT_THAT(result.output, HasSubstr("Error: ")) << c.message;
    EXPECT_THAT(result.output, HasSubstr(c.message));
  }
}

TEST(DaemonStartUp, ConfigPathIsAbsoluteWithSlashAndRelativeOtherwise) {
  TempDir dir;
  const auto absolute = RunProcess({OSTRELD_PATH, "-c", "/no-such-dir/node.json", "-m", "mnt"}, dir.path(), 30);
  EXPECT_THAT(absolute.output, HasSubstr("path: \"/no-such-dir/node.json\""));
  const auto relative = RunProcess({OSTRELD_PATH, "-c", "sub/../node.json", "-m", "mnt"}, dir.path(), 30);
  EXPECT_THAT(relative.output, HasSubstr("path: \"" + std::filesystem::canonical(dir.path()).string() + "/node.json\""));
}

}  // namespace
}  // namespace OST
