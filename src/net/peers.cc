#include "net/peers.h"

#include "core/error.h"
#include "core/log.h"

namespace OST {
namespace {
constexpr int kLogPeers = 120;
}  // namespace

const Path& Peers::LoopbackName() {
  static const Path* name = new Path(U"Loopback");
  return *name;
}

Peers::Peers(MergeFilesystem2& root, LocalConfig& config, uint64_t configServerId, Restartable& restartable,
             std::map<uint64_t, ConfigFile>& peerConfigFiles, const Options& options) try
    : root_(root) {
  std::unique_ptr<LoopbackFilesystem> loopback;
  if (options.mountLoopback) loopback = std::make_unique<LoopbackFilesystem>();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const PeerCfg& peer : config.Current().peers) {
    if (loopback) loopback->Mount(Path::FromUtf8(peer.name), std::make_unique<ShareFilesystem>(peer.shares));
  }
  if (loopback) {
    root_.Mount(LoopbackName(), loopback->Link());
    loopback_ = std::move(loopback);  // from here on the destructor unmounts it
  }
}
OST_TRAIL

Peers::~Peers() {
  OST_LOG(kLogPeers, "");
  if (!loopback_) return;
  try {
    root_.Umount(LoopbackName());
  } catch (const Error& e) {
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

}  // namespace OST
