#include "front/options.h"

#include "core/error.h"
#include "core/log.h"

namespace OST {
namespace {
constexpr int kOptionsLog = 130;
}  // namespace

void Options::ParseArgs(int argc, const char* const* argv) try {
  // Each letter appears once more than needed; that changes nothing.
  Parse(argc, argv, "aASc:m:Lfvl:s:D:Mr:fvMr:");
}
OST_TRAIL

void Options::ProcessOption(char ch, const char* value) try {
  switch (ch) {
    case 'a':
      suffixMode = ONLY_SUFFIX;
      OST_LOG(kOptionsLog, "suffixMode=ONLY_SUFFIX");
      break;
    case 'A':
      suffixMode = ADD_SUFFIX;
      OST_LOG(kOptionsLog, "suffixMode=ADD_SUFFIX");
      break;
    case 'S':
      mountLoopback = true;
      OST_LOG(kOptionsLog, "mountLoopback={}", mountLoopback);
      break;
    case 'c':
      configFile = value;
      OST_LOG(kOptionsLog, "configFile={}", configFile);
      break;
    case 'm':
      mountPoint = value;
      OST_LOG(kOptionsLog, "mountPoint={}", mountPoint);
      break;
    case 'L':
      local = true;
      OST_LOG(kOptionsLog, "local={}", local);
      break;
    case 'f':
      foreground = true;
      OST_LOG(kOptionsLog, "foreground={}", foreground);
      break;
    case 'v':
      IncreaseLogVerbosity();
      break;
    case 'l':
      logFile = value;
      OST_LOG(kOptionsLog, "logFile={}", logFile);
      break;
    case 's':
      try {
        logSize = std::stoi(value);
      } catch (const std::exception& e) {
        OST_THROW(Error(E_INVAL, "Invalid log size option").Add("value", value).Add("what", e.what()));
      }
      OST_LOG(kOptionsLog, "logSize={}", logSize);
      break;
    case 'D':
      EnableLogCategory(value);
      break;
    case 'M':
      isConfigServer = true;
      OST_LOG(kOptionsLog, "isConfigServer={}", isConfigServer);
      break;
    case 'r':
      rootNode = value;
      OST_LOG(kOptionsLog, "rootNode={}", rootNode);
      break;
    case 0:
      OST_THROW(Error(E_INVAL, "Unexpected parameter").Add("parameter", value ? value : ""));
    default:
      OST_THROW(Error(E_INVAL, "Unexpected option").Add("option", std::string(1, ch)));
  }
}
OST_TRAIL

const char* ReleaseTag() { return OST_RELEASE_TAG; }
const char* ReleaseDate() { return __DATE__; }
const char* ReleaseTime() { return __TIME__; }

void ShowUsage() {
  const std::string lines[] = {
      Format("Ostrel private P2P network [{} {} {}]", ReleaseTag(), ReleaseDate(), ReleaseTime()),
      "Usage: ostreld -c configFile -m mountPoint [options]",
      "",
      "Mount options:",
      "  -a           Use \"name.address.port\" format for node mount points",
      "  -A           Use both \"name\" and \"name.address.port\" formats",
      "                 for node mount points",
      "  -L           Enable \"local\" macFUSE mount option (performance loss)",
      "  -S           Enable shares loopback directory",
      "",
      "Logging options:",
      "  -l path      Log file or directory",
      "               Unique timestamp-based name is used in case path is a ",
      "                 valid directory",
      "  -s size      Log file size in bytes [128 Mib]",
      "  -D           Enable/disable specific log message categories",
      "",
      "Centralized configuration options:",
      "  -M           Serve configuration to other nodes",
      "               Peer configurations are looked in the same directory as the",
      "                 specified configFile",
      "  -r nodeId    Sync configuration with the specified node",
      "",
      "Process options:",
      "  -f           Run in the foreground",
      "  -v           Increase verbosity level",
      "               The more times this option is specified, the higher verbosity",
      "                 level is set",
  };
  for (const std::string& line : lines) Console()->Out(line);
}

}  // namespace OST
