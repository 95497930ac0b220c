#include "front/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "core/circular_log.h"
#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "front/bridge_fs.h"
#include "front/env.h"
#include "front/options.h"
#include "front/ostrelfs.h"
#include "fs/fs_native.h"
#include "fs/merge_fs.h"
#include "io/job.h"
#include "io/socket.h"
#include "net/ostrel_job.h"

namespace OST {
namespace {

// Reads the argument file of the current directory whole; false when the
// directory or the file cannot be opened.
bool ReadArgumentFile(NativeFilesystem& native, std::string& text) try {
  std::unique_ptr<File> file;
  try {
    file = native.Open(Env::CurrentDir().Join(Path(U"ostrel.args")), File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  } catch (const Error&) {
    return false;
  }
  char buffer[4096];
  for (int64_t n; (n = file->ReadAny(buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return true;
}
OST_TRAIL

// Parses the command line, or the argument file when there is no argument;
// false when neither is there (the usage has been shown).
bool ParseCommandLine(NativeFilesystem& native, Options& options, int argc, const char* const* argv) try {
  if (argc > 1) {
    options.ParseArgs(argc, argv);
    return true;
  }
  std::string text;
  if (!ReadArgumentFile(native, text)) {
    ShowUsage();
    return false;
  }
  // Lines are joined with nothing between them: the arguments must stand on
  // one line, separated by single blanks.
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  const std::vector<std::string> pieces = SplitString(text, " ");
  std::vector<const char*> args{argv[0]};
  for (const std::string& piece : pieces) args.push_back(piece.c_str());
  options.ParseArgs(static_cast<int>(args.size()), args.data());
  return true;
}
OST_TRAIL

// The node whose configuration this node follows: the -r node, or itself.
uint64_t ConfigServerId(const Options& options, const Config& config) try {
  if (options.rootNode.empty()) return config.id;
  if (options.isConfigServer) {
    OST_THROW(Error(E_INVAL, "Either serving or syncing of configuration should be selected"));
  }
  const PeerCfg* peer = config.FindPeerCfgByName(options.rootNode);
  if (peer == nullptr) peer = config.FindPeerCfgById(HexFromString(options.rootNode));
  if (peer == nullptr) OST_THROW(Error(E_INVAL, "Unknown root node").Add("id", options.rootNode));
  OST_LOG(kLogVerbose2, "Enabled configuration synchronization with node {}", peer->name);
  return peer->id;
}
OST_TRAIL

// Continues in a child process without a terminal; returns false in the
// parent, which is to end at once.
bool SwitchToBackground(CircularLogWriter* circularLog) try {
  OST_LOG(kLogVerbose2, "Switching to background");
  // Without a log file nothing is logged from here on.
  if (circularLog != nullptr) {
    circularLog->DetachConsole();
  } else {
    Logger().reset();
  }
  const pid_t pid = fork();
  if (pid < 0) OST_THROW(Errno("Could not fork", "fork"));
  if (pid > 0) {
    Logger().reset();  // the child owns the log from now on
    return false;
  }
  signal(SIGHUP, SIG_IGN);
  // The standard descriptors now lead nowhere; /dev/null keeps their numbers
  // taken so that no file or socket opened later gets one of them.
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  if (null > 2) close(null);
  return true;
}
OST_TRAIL

}  // namespace

int Main(int argc, const char* const* argv) try {
  SocketInit socketInit;
  NativeFilesystem native;
  Options options;
  if (!ParseCommandLine(native, options, argc, argv)) return 0;
  OST_LOG(kLogVerbose2, "Build {} {} {}", ReleaseTag(), ReleaseDate(), ReleaseTime());
  OST_LOG(kLogVerbose2, "LogLevel={}", 2);

  CircularLogWriter* circularLog = nullptr;
  if (!options.logFile.empty()) {
    OST_LOG(kLogVerbose2, "Switching logging to {}", options.logFile);
    auto writer = std::make_unique<CircularLogWriter>(native, Env::ResolvePath(options.logFile), options.logSize);
    OST_LOG(kLogVerbose2, "Circular log file {} of {} bytes enabled", writer->Filename(), options.logSize);
    circularLog = writer.get();
    Logger() = std::move(writer);
  }

  if (options.configFile.empty()) OST_THROW(Error(E_INVAL, "Config file is not specified"));
  const Path configPath = Env::ResolvePath(options.configFile);
  native.GetStat(configPath);
  if (options.mountPoint.empty()) OST_THROW(Error(E_INVAL, "Mount point is not specified"));
  auto config = std::make_unique<LocalConfig>(configPath);
  const uint64_t configServerId = ConfigServerId(options, config->Current());

  std::map<uint64_t, ConfigFile> peerConfigFiles;
  if (options.isConfigServer) {
    if (configPath.Levels() < 2) {
      OST_LOG(kLogVerbose2, "Could not resolve peer configurations directory from configuration file path {}",
              configPath);
    } else {
      LoadNetworkConfig(configPath.Parent(), config->Current().id, peerConfigFiles);
      OST_LOG(kLogVerbose2, "Loaded {} peer configurations", peerConfigFiles.size());
    }
  }

  OST_LOG(kLogVerbose2, "Starting filesystem");
  auto root = std::make_unique<MergeFilesystem2>();
  auto bridge = std::make_unique<BridgeFilesystem>(*root);
  PrivateData data{bridge.get(), getuid(), getgid()};

  if (!options.foreground && !SwitchToBackground(circularLog)) return 0;

  OST_LOG(kLogVerbose2, "Starting network");
  auto network = std::make_unique<SimpleJobRunner>();
  network->Run(std::make_unique<OstrelJob>(*config, *root, configServerId, peerConfigFiles, options));

  const std::vector<std::string> arguments = FuseArguments(argv[0], options.mountPoint, options.local);
  OST_LOG(kLogVerbose2, "Starting fuse argv={}", arguments);
  const int fuseResult = RunFuse(arguments, data);
  OST_LOG(kLogVerbose2, "Fuse exited with code {}", fuseResult);
  OST_LOG(kLogVerbose2, "Fuse stopped");

  network.reset();
  OST_LOG(kLogVerbose2, "Network stopped");
  bridge.reset();
  root.reset();
  OST_LOG(kLogVerbose2, "Filesystem stopped");
  peerConfigFiles.clear();
  config.reset();
  OST_LOG(kLogVerbose2, "Stopped");
  return fuseResult == 0 ? 0 : 1;
}
OST_TRAIL

}  // namespace OST
