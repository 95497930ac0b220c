#include "front/bridge_fs.h"

#include <utility>

#include "core/error.h"
#include "core/log.h"

namespace OST {
namespace {

constexpr int kLogBridgeCalls = 102;
constexpr int kLogBridgeEvents = 103;

std::set<std::u32string> BanList() {
  return {U"AUTORUN.INF",     U"SYSTEM VOLUME INFORMATION",
          U"DESKTOP.INI",     U".DESKTOP",
          U"$RECYCLE.BIN",    U"RECYCLER",
          U".DS_STORE",       U".TRASHES",
          U".APPLEDOUBLE",    U".*SPOTLIGHT*",
          U".TEMPORARYITEMS", U".APDISK"};
}

std::set<Path> ForgedNames() {
  return {Path(U".metadata_never_index"), Path(U".ql_disablethumbnails"), Path(U".ql_disablecache")};
}

std::u32string AsciiUpper(std::u32string text) {
  for (char32_t& c : text) {
    if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
  }
  return text;
}

[[noreturn]] void ThrowBadDescriptor(uint32_t fd) {
  OST_THROW(Error(E_BADF, "Bad file descriptor").Add("fd", std::to_string(fd)));
}

}  // namespace

bool Match(const char32_t* text, const char32_t* pattern) {
  for (;; ++text, ++pattern) {
    switch (*pattern) {
      case U'\0':
        return *text == U'\0';
      case U'?':
        if (*text == U'\0') return false;
        break;
      case U'*':
        for (;; ++text) {
          if (Match(text, pattern + 1)) return true;
          if (*text == U'\0') return false;
        }
      default:
        if (*text != *pattern) return false;
    }
  }
}

BridgeFilesystem::BridgeFilesystem(Filesystem& fs)
    : banList_(BanList()),
      forgedNames_(ForgedNames()),
      fs_(fs),
      descriptors_(kFirstDescriptor, kDescriptorLimit),
      forgedDescriptors_(kFirstForgedDescriptor, kForgedDescriptorLimit) {}

BridgeFilesystem::~BridgeFilesystem() {
  std::lock_guard<std::mutex> lock(lock_);
  // Holders of a link must find it cut before its file goes away.
  for (auto& [fd, link] : links_) link->Revoke();
  links_.clear();
  files_.clear();
}

bool BridgeFilesystem::IsForgedDescriptor(uint32_t fd) {
  return fd > kDescriptorLimit && fd <= kForgedDescriptorLimit;
}

bool BridgeFilesystem::IsForgedName(const Path& path) const {
  return forgedNames_.count(path.Last()) != 0;
}

bool BridgeFilesystem::ExistsInBanList(const Path& path) const {
  if (path.Empty()) return false;
  const std::u32string name = AsciiUpper(path.Last().ToString32());
  for (const std::u32string& pattern : banList_) {
    if (Match(name.c_str(), pattern.c_str())) return true;
  }
  return false;
}

void BridgeFilesystem::CheckBanList(const Path& path) const {
  if (!ExistsInBanList(path)) return;
  OST_LOG(kLogBridgeEvents, "Banned path={}", path);
  OST_THROW(Error(E_ACCES, "File is blacklisted").Add("path", path.ToString()));
}

void BridgeFilesystem::CheckFakeDescriptor(uint32_t fd) {
  if (IsForgedDescriptor(fd)) {
    OST_THROW(Error(E_ACCES, "File descriptor access is forbidden").Add("fd", std::to_string(fd)));
  }
}

Stat BridgeFilesystem::GetStat(const Path& path) try {
  OST_LOG(kLogBridgeCalls, "path={}", path);
  CheckBanList(path);
  if (IsForgedName(path)) {
    OST_LOG(kLogBridgeEvents, "forged stat path={}", path);
    return Stat(0, 0, AccessTime(0), ModifyTime(0), ChangeTime(0));
  }
  return fs_.GetStat(path);
}
OST_TRAIL

std::vector<Entry> BridgeFilesystem::ReadDir(const Path& path) try {
  OST_LOG(kLogBridgeCalls, "path={}", path);
  CheckBanList(path);
  std::vector<Entry> entries = fs_.ReadDir(path);
  std::erase_if(entries, [this](const Entry& e) { return ExistsInBanList(e.name); });
  return entries;
}
OST_TRAIL

void BridgeFilesystem::SetTimes(const Path& path, AccessTime atime, ModifyTime mtime) try {
  OST_LOG(kLogBridgeCalls, "path={} atime={} mtime={}", path, atime, mtime);
  CheckBanList(path);
  fs_.SetTimes(path, atime, mtime);
}
OST_TRAIL

void BridgeFilesystem::MakeDir(const Path& path) try {
  OST_LOG(kLogBridgeCalls, "path={}", path);
  CheckBanList(path);
  fs_.MakeDir(path);
}
OST_TRAIL

void BridgeFilesystem::RemoveDir(const Path& path) try {
  OST_LOG(kLogBridgeCalls, "path={}", path);
  CheckBanList(path);
  fs_.RemoveDir(path);
}
OST_TRAIL

void BridgeFilesystem::Delete(const Path& path) try {
  OST_LOG(kLogBridgeCalls, "path={}", path);
  CheckBanList(path);
  fs_.Delete(path);
}
OST_TRAIL

void BridgeFilesystem::Rename(const Path& oldPath, const Path& newPath, uint32_t flags) try {
  OST_LOG(kLogBridgeCalls, "oldPath={} newPath={}", oldPath, newPath);
  CheckBanList(oldPath);
  CheckBanList(newPath);
  fs_.Rename(oldPath, newPath, flags);
}
OST_TRAIL

void BridgeFilesystem::SetFlags(const Path& path, uint32_t flags) try {
  OST_LOG(kLogBridgeCalls, "path={} flags={}", path, Stat::FlagsText(flags));
  CheckBanList(path);
  fs_.SetFlags(path, flags);
}
OST_TRAIL

uint32_t BridgeFilesystem::Open(const Path& path, File::Mode mode, File::Access access, uint32_t flags) try {
  OST_LOG(kLogBridgeCalls, "path={} mode={} access={}", path, File::ModeText(mode), File::AccessText(access));
  CheckBanList(path);
  if (IsForgedName(path)) {
    const uint32_t fd = forgedDescriptors_.Get();
    OST_LOG(kLogBridgeEvents, "forged fd={} path={}", fd, path);
    return fd;
  }
  // Only a plain read-only open of an existing file can wait: creating or
  // truncating must happen when the caller asked for it, even if nothing
  // is ever read.
  if (access != File::ACCESS_RO || mode != File::MODE_OPEN_EXISTING) {
    std::unique_ptr<File> file = fs_.Open(path, mode, access, flags);
    const uint32_t fd = descriptors_.Get();  // on failure the file closes as this unwinds
    {
      std::lock_guard<std::mutex> lock(lock_);
      StoreOpenedFile(std::move(file), fd);
    }
    OST_LOG(kLogBridgeEvents, "opened fd={} path={}", fd, path);
    return fd;
  }
  GetStat(path);  // a missing file fails now, not at the first read
  const uint32_t fd = descriptors_.Get();
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!postponed_.emplace(fd, OpenParams{path, mode, File::ACCESS_RO, flags}).second) {
      OST_THROW(Error(E_INVAL, "Postponed descriptor already exists").Add("fd", std::to_string(fd)));
    }
  }
  OST_LOG(kLogBridgeEvents, "postponed open fd={} path={} mode={} access={}", fd, path, File::ModeText(mode),
          File::AccessText(File::ACCESS_RO));
  return fd;
}
OST_TRAIL

std::shared_ptr<FileLink> BridgeFilesystem::StoreOpenedFile(std::unique_ptr<File> file, uint32_t fd) try {
  // A number is handed out once, so both tables are free here; should one
  // not be, the new file is closed and the old entries stay untouched
  // (never a link over a file that is gone).
  if (files_.count(fd) != 0 || links_.count(fd) != 0) {
    OST_THROW(Error(E_INVAL, "Opened descriptor already exists").Add("fd", std::to_string(fd)));
  }
  auto link = std::make_shared<FileLink>(file.get());
  files_.emplace(fd, std::move(file));
  links_.emplace(fd, link);
  return link;
}
OST_TRAIL

std::shared_ptr<FileLink> BridgeFilesystem::GetFile(uint32_t fd) try {
  std::lock_guard<std::mutex> lock(lock_);
  const auto link = links_.find(fd);
  if (link != links_.end()) return link->second;
  const auto postponed = postponed_.find(fd);
  if (postponed == postponed_.end()) ThrowBadDescriptor(fd);
  const OpenParams& params = postponed->second;
  OST_LOG(kLogBridgeEvents, "opening postponed path={} mode={} access={}", params.path, File::ModeText(params.mode),
          File::AccessText(params.access));
  // If this open fails the number stays postponed: the next access retries.
  std::unique_ptr<File> file = fs_.Open(params.path, params.mode, params.access, params.flags);
  std::shared_ptr<FileLink> opened = StoreOpenedFile(std::move(file), fd);
  postponed_.erase(postponed);
  return opened;
}
OST_TRAIL

void BridgeFilesystem::Close(uint32_t fd) try {
  OST_LOG(kLogBridgeCalls, "fd={}", fd);
  if (IsForgedDescriptor(fd)) {
    forgedDescriptors_.Release(fd);
    OST_LOG(kLogBridgeEvents, "closed forged fd={}", fd);
    return;
  }
  std::lock_guard<std::mutex> lock(lock_);
  if (postponed_.erase(fd) != 0) {
    descriptors_.Release(fd);
    OST_LOG(kLogBridgeEvents, "optimized out opening fd={}", fd);
    return;
  }
  const auto link = links_.find(fd);
  if (link == links_.end()) ThrowBadDescriptor(fd);
  link->second->Revoke();  // waits for I/O in flight on this descriptor
  links_.erase(link);
  if (files_.erase(fd) != 0) descriptors_.Release(fd);
  OST_LOG(kLogBridgeEvents, "closed fd={}", fd);
}
OST_TRAIL

int64_t BridgeFilesystem::ReadAt(uint32_t fd, void* buffer, int64_t offset, int64_t size) try {
  OST_LOG(kLogBridgeCalls, "fd={} offset={} size={}", fd, offset, size);
  CheckFakeDescriptor(fd);
  const std::shared_ptr<FileLink> file = GetFile(fd);
  char* to = static_cast<char*>(buffer);
  int64_t total = 0;
  while (size >= 1) {
    const int64_t count = file->ReadAt(offset, File::ORIGIN_SET, to + total, size);
    if (count <= 0) break;
    total += count;
    offset += count;
    size -= count;
  }
  return total;
}
OST_TRAIL

int64_t BridgeFilesystem::WriteAt(uint32_t fd, const void* data, int64_t offset, int64_t size) try {
  OST_LOG(kLogBridgeCalls, "fd={} offset={} size={}", fd, offset, size);
  CheckFakeDescriptor(fd);
  GetFile(fd)->WriteAt(offset, File::ORIGIN_SET, data, size);
  return size;
}
OST_TRAIL

void BridgeFilesystem::Trunc(uint32_t fd, int64_t size) try {
  OST_LOG(kLogBridgeCalls, "fd={} offset={}", fd, size);
  CheckFakeDescriptor(fd);
  GetFile(fd)->Trunc(size);
}
OST_TRAIL

void BridgeFilesystem::SetTimes(uint32_t fd, AccessTime atime, ModifyTime mtime) try {
  OST_LOG(kLogBridgeCalls, "fd={} atime={} mtime={}", fd, atime, mtime);
  CheckFakeDescriptor(fd);
  GetFile(fd)->SetTimes(atime, mtime);
}
OST_TRAIL

}  // namespace OST
