// The configuration store: configuration texts kept on disk with their
// versions, the node's own parsed configuration, and the directory of
// per-node files that a configuration server distributes.
//
// The version of a configuration is the modification time of its file in
// whole seconds. A ConfigFile replaces its text only with a strictly newer
// version, and the file on disk always holds the stored text with the
// stored version as its modification time. The replacement is written to a
// hidden temporary file beside the old one ("." in front of its name, so
// directory loads skip it), given its times, and renamed over the old file,
// so a failed write or a dying process never leaves a cut file behind.
//
// Thread contract: ConfigFile is safe from any thread (one mutex, held for
// the whole of AcceptNewConfig). LocalConfig is used by one thread at a
// time; its owner makes sure no reference into the previous Config is in use
// when Load replaces it. LoadNetworkConfig runs on one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "core/path.h"
#include "core/typed_int.h"

namespace OST {

// The largest file LoadNetworkConfig takes, in bytes.
inline constexpr int64_t kMaxNetworkConfigSize = 262144;

class ConfigFile {
 public:
  // With `load`, reads the file's modification time (the version) and whole
  // text through the host filesystem, whose errors pass through; the text
  // may hold at most `maxSize` bytes (E_FBIG "File is too big", detail
  // `path`; a negative `maxSize` means no limit). Without `load` the version
  // is 0, the text empty, and the file is not touched until an update is
  // accepted.
  ConfigFile(const Path& path, bool load, int64_t maxSize = -1);
  // Takes path, version and text; `other` must not be in use by another
  // thread. The new object has its own mutex.
  ConfigFile(ConfigFile&& other) noexcept;
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  // Offers a text with its version, and logs the outcome (category 197):
  // - an empty text: "Ignored empty configuration", false;
  // - the stored text with the stored version: "Configuration is
  //   up-to-date", false;
  // - a version above the stored one: the text is written (a new file gets
  //   mode 0644 less the umask; a replaced file keeps its permission bits),
  //   the file's times become access 0 and modification `version`, then the
  //   text and version are stored: "Accepted configuration update", true;
  // - anything else: "Ignored outdated configuration", false.
  // Errors while writing pass through (the host filesystem's); the stored
  // text, the version and the file on disk are then unchanged.
  bool AcceptNewConfig(const std::string& text, ModifyTime version);

  const Path& FilePath() const { return path_; }
  ModifyTime Version() const;
  std::string Text() const;

 private:
  // Writes `text` as the new content of the file, atomically.
  void Replace(const std::string& text, ModifyTime version);

  mutable std::mutex mutex_;
  const Path path_;
  // Protected by mutex_.
  ModifyTime version_;
  std::string text_;
};

// The node's own configuration: its file and the Config parsed from it.
class LocalConfig {
 public:
  // Reads the file and parses it: errors of ConfigFile and of Load.
  // `maxSize` as for ConfigFile.
  explicit LocalConfig(const Path& path, int64_t maxSize = -1);
  LocalConfig(const LocalConfig&) = delete;
  LocalConfig& operator=(const LocalConfig&) = delete;

  // Parses the stored text again and replaces the Config. On failure the
  // old Config stays and the error of ParseConfig passes on with the detail
  // `path` (the text of the file's path).
  void Load();

  // Requires: constructed successfully (there always is a Config).
  const Config& Current() const { return *config_; }
  ConfigFile& StoredFile() { return file_; }
  const Path& FilePath() const { return path_; }

 private:
  const Path path_;
  ConfigFile file_;
  std::unique_ptr<Config> config_;
};

// Loads every node's configuration file in `dir`, checks that they describe
// a consistent network, and adds the file of every node except `rootNodeId`
// to `files` under its node id (an id already in `files` keeps its entry).
// Directories and names starting with "." are skipped; every other file is
// taken, whatever its name. Throws E_FBIG "File is too big" (detail `file`,
// the entry name) for a file over kMaxNetworkConfigSize bytes, E_EXIST
// "Duplicate configuration" (details `id`, hex without prefix, and `file`)
// for a second file of one node, and the errors of the listing, of reading
// and of parsing; then nothing is added. Inconsistencies are warnings
// (category 197), never errors: "{file}: external link to node {name}:{id}"
// (the peer has no file here), "dead link" (its file does not list this
// node), "secret mismatch" (the two sides hold different secrets), "no link"
// (neither side has an address for the other).
void LoadNetworkConfig(const Path& dir, uint64_t rootNodeId, std::map<uint64_t, ConfigFile>& files);

}  // namespace OST
