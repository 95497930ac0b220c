#include "fs/snap_dir.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/error.h"
#include "core/serialize.h"

namespace OST {
namespace {

int32_t LoadCount(ByteSource& source) try {
  int32_t count = 0;
  Serializer::Load(source, count);
  if (count < 0) OST_THROW(Error(E_INVAL, "Invalid snapshot entry count").Add("count", std::to_string(count)));
  return count;
}
OST_TRAIL

}  // namespace

SnapDir::SnapDir(ByteSource& source) try { LoadFrom(source); }
OST_TRAIL

SnapDir::SnapDir(SnapDir&& other) noexcept
    : NonCopyable(), entries_(std::move(other.entries_)), subdirs_(std::move(other.subdirs_)) {}

SnapDir& SnapDir::operator=(SnapDir&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    subdirs_ = std::move(other.subdirs_);
  }
  return *this;
}

void SnapDir::Add(const Entry& entry, SnapDir listing) {
  entries_.push_back(entry);
  if (entry.stat.flags & FLAG_DIR) subdirs_.try_emplace(entry.name, std::move(listing));
}

void SnapDir::LoadFrom(ByteSource& source) try {
  // One frame per directory being read; `dir` is null for the listing of a
  // repeated name, which is read and dropped.
  struct Frame {
    SnapDir* dir;
    int32_t remaining;
  };
  SnapDir loaded;
  std::vector<Frame> stack;
  stack.push_back({&loaded, LoadCount(source)});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.remaining == 0) {
      stack.pop_back();
      continue;
    }
    --top.remaining;
    Entry entry;
    entry.LoadFrom(source);
    if (entry.name.Levels() != 1) {
      OST_THROW(Error(E_INVAL, "Invalid snapshot entry name").Add("name", entry.name.ToString()));
    }
    SnapDir* parent = top.dir;
    if (parent != nullptr) parent->entries_.push_back(entry);
    if (!(entry.stat.flags & FLAG_DIR)) continue;
    // The stack holds the top directory too, so its size is the depth of
    // the listing that follows.
    if (static_cast<int>(stack.size()) > kMaxDepth) {
      OST_THROW(Error(E_INVAL, "Snapshot nesting is too deep").Add("name", entry.name.ToString()));
    }
    SnapDir* child = nullptr;
    if (parent != nullptr) {
      auto [it, inserted] = parent->subdirs_.try_emplace(entry.name);
      if (inserted) child = &it->second;
    }
    const int32_t count = LoadCount(source);
    stack.push_back({child, count});  // `top` is not used after this
  }
  *this = std::move(loaded);
}
OST_TRAIL

void SnapDir::StoreTo(ByteSink& sink) const try {
  struct Frame {
    const SnapDir* dir;
    size_t next;
  };
  static const SnapDir kEmpty;
  std::vector<Frame> stack;
  Serializer::Store(sink, static_cast<int32_t>(entries_.size()));
  stack.push_back({this, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.dir->entries_.size()) {
      stack.pop_back();
      continue;
    }
    const Entry& entry = top.dir->entries_[top.next++];
    entry.StoreTo(sink);
    if (!(entry.stat.flags & FLAG_DIR)) continue;
    const auto found = top.dir->subdirs_.find(entry.name);
    const SnapDir* child = found == top.dir->subdirs_.end() ? &kEmpty : &found->second;
    Serializer::Store(sink, static_cast<int32_t>(child->entries_.size()));
    stack.push_back({child, 0});  // `top` is not used after this
  }
}
OST_TRAIL

const SnapDir* SnapDir::FindDir(const Path& path) const try {
  const SnapDir* dir = this;
  Path rest = path;
  while (!rest.Empty()) {
    Path first = rest;
    rest = first.Split(1);
    const auto found = dir->subdirs_.find(first);
    if (found == dir->subdirs_.end()) return nullptr;
    dir = &found->second;
  }
  return dir;
}
OST_TRAIL

const SnapDir& SnapDir::GetDir(const Path& path) const try {
  const SnapDir* dir = FindDir(path);
  if (dir == nullptr) OST_THROW(Error(E_NOENT, "Directory not found").Add("path", path.ToString()));
  return *dir;
}
OST_TRAIL

std::vector<Entry> SnapDir::ReadDir(const Path& path) const try { return GetDir(path).entries_; }
OST_TRAIL

std::optional<Stat> SnapDir::FindStat(const Path& path) const try {
  if (path.Empty()) OST_THROW(Error(E_INVAL, "No stat for the root directory"));
  const SnapDir* dir = FindDir(path.Parent());
  if (dir == nullptr) return std::nullopt;
  const Entry key(path.Last(), Stat());
  const auto found = std::lower_bound(dir->entries_.begin(), dir->entries_.end(), key, EntryNameLess);
  if (found == dir->entries_.end() || found->name != key.name) return std::nullopt;
  return found->stat;
}
OST_TRAIL

Stat SnapDir::GetStat(const Path& path) const try {
  const std::optional<Stat> stat = FindStat(path);
  if (!stat) OST_THROW(Error(E_NOENT, "Path not found"));
  return *stat;
}
OST_TRAIL

}  // namespace OST
