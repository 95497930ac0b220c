// SnapDir: one directory of a snapshot, the stored listing of a directory
// tree (names and Stat records of every entry at the time it was taken).
//
// Stored form, depth first:
//   int32 count, then `count` times: the Entry form (name, Stat), and right
//   after each entry whose flags hold FLAG_DIR the same form for that
//   subdirectory.
// Lookups by name assume the entries of each directory ascend in Path order
// (EntryNameLess); ReadDir lists them in stored order whatever it is.
//
// Snapshot files are untrusted. Loading reads entries one at a time (a count
// never reserves memory), walks the tree with an explicit stack, refuses a
// negative count, an entry name that is not one path component, and
// listings nested more than kMaxDepth levels below the top (deeper ones
// could not be reached through a Path anyway).
//
// Thread contract: not changed after loading or building; any number of
// threads may then look things up at once.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "core/fs.h"
#include "core/interface.h"
#include "core/stream.h"

namespace OST {

class SnapDir : public NonCopyable, public virtual Serializable {
 public:
  // Deepest subdirectory listing accepted, counted from the top (0).
  static constexpr int kMaxDepth = 32;

  // An empty directory.
  SnapDir() = default;
  // Reads a whole tree with LoadFrom.
  explicit SnapDir(ByteSource& source);
  SnapDir(SnapDir&& other) noexcept;
  SnapDir& operator=(SnapDir&& other) noexcept;

  // Writes the stored form. A directory entry without a listing of its own
  // is written with an empty one, so the result always loads.
  void StoreTo(ByteSink& sink) const override;
  // Replaces this tree with the one read from `source`; on failure the tree
  // is unchanged. Throws the source's errors (E_PIPE "End of stream reached"
  // when it ends early), E_INVAL "Invalid snapshot entry count" (detail
  // `count`), E_INVAL "Invalid snapshot entry name" (detail `name`), E_INVAL
  // "Snapshot nesting is too deep" (detail `name`), and Path's errors for a
  // name that is not in normal form.
  void LoadFrom(ByteSource& source) override;

  // Appends an entry; entries keep the order in which they were added. For
  // a directory entry, `listing` becomes its subdirectory unless one of that
  // name exists already (then `listing` is dropped, as when loading).
  void Add(const Entry& entry, SnapDir listing = SnapDir());

  const std::vector<Entry>& Entries() const { return entries_; }

  // The directory at `path` (the root path is this one), or nullptr. The
  // pointer is valid as long as this tree.
  const SnapDir* FindDir(const Path& path) const;
  // As FindDir; E_NOENT "Directory not found" (detail `path`) when missing.
  const SnapDir& GetDir(const Path& path) const;
  // A copy of the directory's entries in stored order (errors of GetDir).
  std::vector<Entry> ReadDir(const Path& path) const;
  // The Stat of the entry at `path`, found by a lower-bound search in its
  // parent's entries; nothing when missing or reached through a file.
  // Throws E_INVAL "No stat for the root directory" for the root path.
  std::optional<Stat> FindStat(const Path& path) const;
  // As FindStat; E_NOENT "Path not found" when missing.
  Stat GetStat(const Path& path) const;

 private:
  std::vector<Entry> entries_;          // stored order
  std::map<Path, SnapDir> subdirs_;     // one per directory entry name
};

}  // namespace OST
