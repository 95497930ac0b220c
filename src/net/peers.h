// Peers: one run of the network side, built from the current configuration.
//
// The registry shows, when asked (-S), this node's own shares under the
// loopback directory "Loopback" of the volume root: one directory per
// configured peer, holding exactly the shares (and their snapshots) this
// node offers to that peer, with that peer's rights. Destroying the registry
// takes down everything it started and unmounts what it mounted.
//
// Thread contract: built and destroyed on the network job's thread; the
// constructor holds the registry's mutex while it builds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "config/config_file.h"
#include "core/interface.h"
#include "core/path.h"
#include "fs/merge_fs.h"
#include "fs/share_fs.h"
#include "front/options.h"
#include "io/job.h"

namespace OST {

class Peers : public NonCopyable {
 public:
  // The name of the loopback directory in the volume root.
  static const Path& LoopbackName();

  // Builds the registry from config.Current() and mounts what it shows into
  // `root`. `configServerId` is the node this node takes its configuration
  // from, `restartable` is told when a newer configuration was accepted, and
  // `peerConfigFiles` holds, on a configuration server, one file per peer.
  // All arguments must outlive the registry. Throws the errors of the share
  // filesystems and of mounting (for example a peer name that is not a valid
  // path component); what was built is then taken down again.
  Peers(MergeFilesystem2& root, LocalConfig& config, uint64_t configServerId, Restartable& restartable,
        std::map<uint64_t, ConfigFile>& peerConfigFiles, const Options& options);
  // Unmounts what the constructor mounted; errors are logged ("Error: {}",
  // category 123), never thrown.
  ~Peers();

 private:
  // Constant after construction:
  MergeFilesystem2& root_;
  std::unique_ptr<LoopbackFilesystem> loopback_;  // present with -S, mounted in root_

  std::mutex mutex_;  // held while the registry is built
};

}  // namespace OST
