// Running programs from tests: bounded in time, output captured, always
// reaped.
#pragma once

#include <string>
#include <vector>

namespace OST::testutil {

struct ProcessResult {
  int exitStatus = -1;  // exit status, or 128 + signal when killed
  std::string output;   // standard output and standard error together
  bool timedOut = false;
};

// Runs argv[0] (a path) with the arguments in `cwd` (unchanged when empty)
// and waits at most `timeoutSeconds`; a program still running then is killed.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
                         int timeoutSeconds = 60);

// Runs `/bin/sh -c script`.
ProcessResult RunShell(const std::string& script, const std::string& cwd = "", int timeoutSeconds = 60);

// The whole content of a host file ("" when it cannot be read).
std::string ReadHostFile(const std::string& path);
// The names starting with "." in a host directory (temporary leftovers).
std::vector<std::string> HiddenFiles(const std::string& dir);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file below the directory (parents must exist); returns its path.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace OST::testutil
