// Options: what the daemon's command line asks for.
//
// Filled by ParseArgs in command-line order; -v and -D switch logging at
// once and leave nothing here. Values are not examined here: start-up checks
// them. Thread contract: written on the main thread during start-up, read
// only afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "core/interface.h"
#include "front/getopt.h"

namespace OST {

enum SuffixMode : int32_t {
  PLAIN_NAME = 0,   // node mount points are named "name"
  ADD_SUFFIX = 1,   // both "name" and "name.address.port"
  ONLY_SUFFIX = 2,  // "name.address.port" only
};

class Options : public NonCopyable, public virtual GetOpt {
 public:
  std::string mountPoint;
  std::string configFile;
  std::string logFile;
  int64_t logSize = 134217728;
  bool foreground = false;
  std::string rootNode;
  bool isConfigServer = false;
  int32_t suffixMode = PLAIN_NAME;
  bool local = false;
  bool mountLoopback = false;

  void ParseArgs(int argc, const char* const* argv);
  // Records one option (see GetOpt); throws E_INVAL "Unexpected parameter",
  // "Unexpected option" or "Invalid log size option".
  void ProcessOption(char ch, const char* value) override;
};

// The release tag, date and time of this build.
const char* ReleaseTag();
const char* ReleaseDate();
const char* ReleaseTime();

// Writes the 28 usage lines through Console(), whatever the log settings.
void ShowUsage();

}  // namespace OST
