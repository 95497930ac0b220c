// OstrelJob: the whole network side of the daemon as one job.
//
// It builds the peer registry from the configuration, keeps it until a
// restart is requested (a newer configuration was accepted) or the job is
// stopped, then takes it down, reloads the configuration and, unless
// stopped, builds it again. A restart or stop that arrives while the
// registry is being built is not lost: the waiter stays signalled until the
// job has waited on it.
//
// Thread contract: JobMain runs on the job's own thread; Stop and
// RequestRestart are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "config/config_file.h"
#include "core/interface.h"
#include "fs/merge_fs.h"
#include "front/options.h"
#include "io/job.h"
#include "io/waiter.h"

namespace OST {

class OstrelJob : public NonCopyable, public virtual Job, public virtual Restartable {
 public:
  // All arguments must outlive the job.
  OstrelJob(LocalConfig& config, MergeFilesystem2& root, uint64_t configServerId,
            std::map<uint64_t, ConfigFile>& peerConfigFiles, const Options& options);

  // Builds, keeps and rebuilds the registry until stopped. Errors from
  // building or taking down the registry, or from reloading the
  // configuration, leave the job (the runner logs them) and the network side
  // stays down.
  void JobMain() override;
  // Makes JobMain take the registry down and return.
  void Stop() override;
  // Makes JobMain rebuild the registry from the reloaded configuration.
  void RequestRestart() override;

 private:
  std::atomic<bool> stopped_{false};
  LocalConfig& config_;
  MergeFilesystem2& root_;
  const uint64_t configServerId_;
  std::map<uint64_t, ConfigFile>& peerConfigFiles_;
  const Options& options_;
  Waiter waiter_;  // signalled for a restart or a stop
};

}  // namespace OST
