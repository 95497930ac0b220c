#include "front/daemon.h"

#include <fcntl.h>
#include <cerrno>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "front/env.h"
#include "front/options.h"

namespace OST {
namespace {

constexpr const char* kArgumentFile = "ostrel.args";

// Reads the argument file of the current directory whole; false when the
// directory or the file cannot be opened.
bool ReadArgumentFile(std::string& text) {
  Path path;
  try {
    path = Env::CurrentDir().Join(Path(U"ostrel.args"));
  } catch (const Error&) {
    return false;
  }
  const int fd = open(path.ToUnix8().c_str(), O_RDONLY);
  if (fd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      const int failure = errno;
      close(fd);
      OST_THROW(Errno("Could not read file", "read", failure).Add("path", path.ToUnix8()));
    }
    if (n == 0) break;
    text.append(buffer, n);
  }
  close(fd);
  return true;
}

// Parses the command line, or the argument file when there is no argument;
// false when neither is there (the usage has been shown).
bool ParseCommandLine(Options& options, int argc, const char* const* argv) {
  if (argc > 1) {
    options.ParseArgs(argc, argv);
    return true;
  }
  std::string text;
  if (!ReadArgumentFile(text)) {
    ShowUsage();
    return false;
  }
  // Lines are joined with nothing between them: the arguments must stand on
  // one line, separated by single blanks.
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  std::vector<std::string> pieces = SplitString(text, " ");
  std::vector<const char*> args{argv[0]};
  for (const std::string& piece : pieces) args.push_back(piece.c_str());
  options.ParseArgs(static_cast<int>(args.size()), args.data());
  return true;
}

}  // namespace

void Main(int argc, const char* const* argv) try {
  Options options;
  if (!ParseCommandLine(options, argc, argv)) return;
  OST_LOG(kLogVerbose2, "Build {} {} {}", ReleaseTag(), ReleaseDate(), ReleaseTime());
  OST_LOG(kLogVerbose2, "LogLevel={}", 2);
  if (options.configFile.empty()) OST_THROW(Error(E_INVAL, "Config file is not specified"));
  if (options.mountPoint.empty()) OST_THROW(Error(E_INVAL, "Mount point is not specified"));
}
OST_TRAIL

}  // namespace OST
