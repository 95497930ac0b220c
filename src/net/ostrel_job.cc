#include "net/ostrel_job.h"

#include "core/error.h"
#include "core/log.h"
#include "net/peers.h"

namespace OST {

OstrelJob::OstrelJob(LocalConfig& config, MergeFilesystem2& root, uint64_t configServerId,
                     std::map<uint64_t, ConfigFile>& peerConfigFiles, const Options& options)
    : config_(config),
      root_(root),
      configServerId_(configServerId),
      peerConfigFiles_(peerConfigFiles),
      options_(options) {}

void OstrelJob::JobMain() try {
  while (!stopped_) {
    OST_LOG(kLogVerbose2, "Starting peer threads");
    {
      Peers peers(root_, config_, configServerId_, *this, peerConfigFiles_, options_);
      waiter_.Wait();
      waiter_.Reset();
    }
    OST_LOG(kLogVerbose2, "Peer threads stopped");
    config_.Load();
  }
  OST_LOG(kLogVerbose2, "Stopped");
}
OST_TRAIL

void OstrelJob::Stop() {
  stopped_ = true;
  waiter_.Signal();
}

void OstrelJob::RequestRestart() { waiter_.Signal(); }

}  // namespace OST
