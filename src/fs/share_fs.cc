#include "fs/share_fs.h"

#include "core/error.h"
#include "core/log.h"
#include "fs/chroot_fs.h"
#include "fs/snap_dir.h"
#include "fs/snap_fs.h"
#include "io/caching_reader.h"

namespace OST {
namespace {

// Snapshot files are read field by field; this keeps it to a few large reads.
constexpr int64_t kSnapshotReadBuffer = 65536;

}  // namespace

ShareFilesystem::Owned::~Owned() {
  while (!items.empty()) items.pop_back();
}

ShareFilesystem::ShareFilesystem(const std::vector<ShareCfg>& shares) try {
  for (const ShareCfg& share : shares) {
    auto chroot = std::make_unique<ChrootFilesystem>(native_, share.path, !share.write);
    Filesystem& files = *chroot;
    MountOwned(share.name, std::move(chroot));
    ScanSnapshots(share, files);
  }
}
OST_TRAIL

ShareFilesystem::~ShareFilesystem() = default;

void ShareFilesystem::MountOwned(const Path& name, std::unique_ptr<Filesystem> fs) try {
  owned_.items.push_back(std::move(fs));
  try {
    merge_.Mount(name, *owned_.items.back());
  } catch (const Error&) {
    owned_.items.pop_back();
    throw;
  }
}
OST_TRAIL

void ShareFilesystem::ScanSnapshots(const ShareCfg& share, Filesystem& files) {
  try {
    const Path extension(U"snap");
    for (const Entry& entry : files.ReadDir(Path())) {
      if ((entry.stat.flags & FLAG_DIR) || entry.name.Ext() != extension) continue;
      auto dir = std::make_unique<SnapDir>();
      {
        std::unique_ptr<File> file = files.Open(entry.name, File::MODE_OPEN_EXISTING, File::ACCESS_RO, 0);
        CachingReader reader(*file, kSnapshotReadBuffer);
        dir->LoadFrom(reader);
      }
      const std::u32string& fileName = entry.name.ToString32();
      const Path mountName(share.name.ToString32() + U"." + fileName.substr(0, fileName.size() - 5));
      MountOwned(mountName, std::make_unique<SnapFilesystem2>(files, std::move(dir)));
    }
  } catch (const Error& e) {
    // A damaged or unmountable snapshot ends this share's scan and is not
    // shown; the share itself stays. Only a debugging category hears of it.
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

Stat ShareFilesystem::GetStat(const Path& path) try { return merge_.GetStat(path); }
OST_TRAIL

std::vector<Entry> ShareFilesystem::ReadDir(const Path& path) try { return merge_.ReadDir(path); }
OST_TRAIL

void ShareFilesystem::MakeDir(const Path& path) try { merge_.MakeDir(path); }
OST_TRAIL

void ShareFilesystem::RemoveDir(const Path& path) try { merge_.RemoveDir(path); }
OST_TRAIL

std::unique_ptr<File> ShareFilesystem::Open(const Path& path, File::Mode mode, File::Access access,
                                            uint32_t flags) try {
  return merge_.Open(path, mode, access, flags);
}
OST_TRAIL

void ShareFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  merge_.SetTimes(path, atime, mtime);
}
OST_TRAIL

void ShareFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  merge_.Rename(oldPath, newPath, flags);
}
OST_TRAIL

void ShareFilesystem::Delete(const Path& path) try { merge_.Delete(path); }
OST_TRAIL

void ShareFilesystem::SetFlags(const Path& path, uint32_t flags) try { merge_.SetFlags(path, flags); }
OST_TRAIL

LoopbackFilesystem::LoopbackFilesystem() : link_(std::make_shared<FilesystemLink>(this)) {}

LoopbackFilesystem::~LoopbackFilesystem() {
  // Holders of the link (the volume root) must fail from now on instead of
  // reaching a filesystem that is going away.
  link_->Revoke();
  link_.reset();
  shares_.clear();
}

void LoopbackFilesystem::Mount(const Path& name, std::unique_ptr<ShareFilesystem> fs) try {
  MergeFilesystem::Mount(name, *fs);
  // A name can only be held here by a share filesystem that has been
  // unmounted meanwhile; the new one replaces it.
  shares_[name] = std::move(fs);
}
OST_TRAIL

}  // namespace OST
