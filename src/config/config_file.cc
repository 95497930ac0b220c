#include "config/config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "fs/fs_native.h"

namespace OST {
namespace {

constexpr int64_t kReadChunk = 65536;

// The whole content of a file, refusing more than `maxSize` bytes (when
// `maxSize` is not negative) without reading further.
std::string ReadWhole(File& file, const Path& path, int64_t maxSize) try {
  std::string text;
  for (;;) {
    const size_t used = text.size();
    text.resize(used + kReadChunk);
    const int64_t got = file.ReadAny(text.data() + used, kReadChunk);
    text.resize(used + static_cast<size_t>(got));
    if (got == 0) return text;
    if (maxSize >= 0 && static_cast<int64_t>(text.size()) > maxSize) {
      OST_THROW(Error(E_FBIG, "File is too big").Add("path", path.ToString()));
    }
  }
}
OST_TRAIL

// The permission bits of an existing file, or nothing when there is none.
std::optional<mode_t> ExistingPermissions(const Path& path) try {
  struct stat info {};
  const std::string host = path.ToUnix8();
  if (::stat(host.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    OST_THROW(Errno("Could not get file stat", "stat").Add("path", host));
  }
  return info.st_mode & 07777;
}
OST_TRAIL

// The file's permission bits become `mode` (before any text is written to
// it, so a secret never sits in a file more open than the one it replaces).
void SetPermissions(const Path& path, mode_t mode) try {
  const std::string host = path.ToUnix8();
  if (::chmod(host.c_str(), mode) != 0) OST_THROW(Errno("Could not change file mode", "chmod").Add("path", host));
}
OST_TRAIL

// A fresh hidden name beside `path`: "." + name + "." + process + "." + n + ".tmp".
Path TemporaryPath(const Path& path) try {
  static std::atomic<uint64_t> counter{0};
  const std::string name = "." + path.Last().ToString() + "." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  return path.Parent().Join(Path::FromUtf8(name));
}
OST_TRAIL

}  // namespace

ConfigFile::ConfigFile(const Path& path, bool load, int64_t maxSize) try : path_(path) {
  if (!load) return;
  NativeFilesystem fs;
  const Stat stat = fs.GetStat(path_);
  std::unique_ptr<File> file = fs.Open(path_, File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
  text_ = ReadWhole(*file, path_, maxSize);
  version_ = stat.mtime;
}
OST_TRAIL

ConfigFile::ConfigFile(ConfigFile&& other) noexcept : path_(other.path_) {
  std::lock_guard<std::mutex> lock(other.mutex_);
  version_ = other.version_;
  text_ = std::move(other.text_);
}

ModifyTime ConfigFile::Version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

std::string ConfigFile::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

bool ConfigFile::AcceptNewConfig(const std::string& text, ModifyTime version) try {
  std::lock_guard<std::mutex> lock(mutex_);
  if (text.empty()) {
    OST_LOG(kLogVerbose1, "Ignored empty configuration");
    return false;
  }
  if (text == text_ && version == version_) {
    OST_LOG(kLogVerbose1, "Configuration is up-to-date");
    return false;
  }
  if (version_ < version) {
    Replace(text, version);
    text_ = text;
    version_ = version;
    OST_LOG(kLogVerbose1, "Accepted configuration update");
    return true;
  }
  OST_LOG(kLogVerbose1, "Ignored outdated configuration");
  return false;
}
OST_TRAIL

void ConfigFile::Replace(const std::string& text, ModifyTime version) try {
  NativeFilesystem fs;
  const std::optional<mode_t> permissions = ExistingPermissions(path_);
  const Path temporary = TemporaryPath(path_);
  std::unique_ptr<File> file = fs.Open(temporary, File::MODE_CREATE_NEW, File::ACCESS_WO, FLAG_WRITE);
  try {
    if (permissions) SetPermissions(temporary, *permissions);
    file->Write(text.data(), static_cast<int64_t>(text.size()));
    file->Flush();
    file.reset();
    fs.SetTimes(temporary, AccessTime(0), version);
    fs.Rename(temporary, path_, 0);
  } catch (const Error&) {
    file.reset();
    try {
      fs.Delete(temporary);
    } catch (const Error& e) {
      OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
    }
    throw;
  }
}
OST_TRAIL

LocalConfig::LocalConfig(const Path& path, int64_t maxSize) try : path_(path), file_(path, true, maxSize) {
  Load();
}
OST_TRAIL

void LocalConfig::Load() try {
  std::unique_ptr<Config> parsed;
  try {
    parsed = ParseConfig(file_.Text());
  } catch (Error& e) {
    e.Add("path", path_.ToString());
    throw;
  }
  config_ = std::move(parsed);
}
OST_TRAIL

void LoadNetworkConfig(const Path& dir, uint64_t rootNodeId, std::map<uint64_t, ConfigFile>& files) try {
  struct Loaded {
    std::string file;  // the entry name
    std::unique_ptr<LocalConfig> config;
  };
  NativeFilesystem fs;
  std::map<uint64_t, Loaded> loaded;
  for (const Entry& entry : fs.ReadDir(dir)) {
    const std::string name = entry.name.ToString();
    if ((entry.stat.flags & FLAG_DIR) || name.empty() || name[0] == '.') continue;
    if (entry.stat.size > kMaxNetworkConfigSize) OST_THROW(Error(E_FBIG, "File is too big").Add("file", name));
    // The limit holds while reading too, for a file that grew meanwhile.
    auto config = std::make_unique<LocalConfig>(dir.Join(entry.name), kMaxNetworkConfigSize);
    const uint64_t id = config->Current().id;
    if (loaded.count(id) != 0) {
      OST_THROW(Error(E_EXIST, "Duplicate configuration").Add("id", HexToString(id, false)).Add("file", name));
    }
    loaded.emplace(id, Loaded{name, std::move(config)});
  }

  for (const auto& [id, node] : loaded) {
    for (const PeerCfg& peer : node.config->Current().peers) {
      const std::string peerId = HexToString(peer.id, false);
      const auto other = loaded.find(peer.id);
      if (other == loaded.end()) {
        OST_LOG(kLogVerbose1, "{}: external link to node {}:{}", node.file, peer.name, peerId);
        continue;
      }
      const PeerCfg* back = other->second.config->Current().FindPeerCfgById(id);
      if (back == nullptr) {
        OST_LOG(kLogVerbose1, "{}: dead link to node {}:{}", node.file, peer.name, peerId);
        continue;
      }
      if (peer.secret != back->secret) {
        OST_LOG(kLogVerbose1, "{}: secret mismatch with node {}:{}", node.file, peer.name, peerId);
      }
      if (peer.addrs.empty() && back->addrs.empty()) {
        OST_LOG(kLogVerbose1, "{}: no link to node {}:{}", node.file, peer.name, peerId);
      }
    }
  }

  for (auto& [id, node] : loaded) {
    if (id != rootNodeId) files.try_emplace(id, std::move(node.config->StoredFile()));
  }
}
OST_TRAIL

}  // namespace OST
