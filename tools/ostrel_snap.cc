// ostrel-snap SOURCE_DIR OUTPUT.snap: writes the listing tree of a directory
// in the snapshot form that share filesystems mount beside their shares.
//
// The tree is walked through NativeFilesystem, so the snapshot records the
// same names, flags, sizes and times a share shows. Entries are sorted by
// name in Path order, which the snapshot lookups rely on. The snapshot is
// written to a hidden temporary file beside OUTPUT and renamed into place.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "fs/fs_native.h"
#include "fs/snap_dir.h"
#include "io/string_writer.h"

namespace OST {
namespace {

constexpr const char* kUsage =
    "Usage: ostrel-snap SOURCE_DIR OUTPUT.snap\n"
    "\n"
    "Writes a snapshot of the directory tree under SOURCE_DIR: the name, size,\n"
    "times and permissions of every file and directory in it, but no file\n"
    "contents. A snapshot file placed in the top directory of a share appears\n"
    "beside the share as a read-only tree named after the share and the file:\n"
    "week.snap in the share docs appears as docs.week, and its files are read\n"
    "from the share as they are now.\n"
    "\n"
    "Names that cannot be shared (not valid path components) are left out and\n"
    "reported on standard error. The output file itself is left out when it\n"
    "lies inside SOURCE_DIR. Symbolic links to directories are followed,\n"
    "except those leading back up the tree, whose listing is left empty (and\n"
    "reported). The snapshot is written to a temporary file beside OUTPUT.snap\n"
    "and renamed into place, so no reader sees half a snapshot.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";

struct Totals {
  int64_t directories = 0;
  int64_t files = 0;
  int64_t bytes = 0;
};

// "text (name: value, ...)" without the `in` pairs, for one-line messages.
std::string Describe(const Error& e) {
  std::string details;
  try {
    for (const auto& [name, value] : e.Pairs()) {
      if (name == "in") continue;
      details += (details.empty() ? "" : ", ") + name + ": " + value;
    }
  } catch (const Error&) {
    // Undecodable pairs: the text alone still says what failed.
  }
  return details.empty() ? e.Text() : e.Text() + " (" + details + ")";
}

void Note(const std::string& text) { std::cerr << "ostrel-snap: " << text << '\n'; }

// An absolute, symbolic-link-free host path as a Path.
Path HostPath(const std::string& text) try {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(text), error);
  if (error) resolved = std::filesystem::absolute(text).lexically_normal();
  return Path::FromUtf8(resolved.string());
}
OST_TRAIL

class Snapshotter {
 public:
  Snapshotter(const Path& source, const Path& output) : source_(source), output_(output) {}

  SnapDir Run(Totals& totals) try {
    if (!(native_.GetStat(source_).flags & FLAG_DIR)) {
      OST_THROW(Error(E_INVAL, "Source is not a directory").Add("path", source_.ToUnix8()));
    }
    std::vector<std::string> ancestors{Canonical(source_)};
    return Walk(source_, Path(), ancestors, totals);
  }
  OST_TRAIL

 private:
  static std::string Canonical(const Path& path) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path.ToUnix8(), error);
    return error ? path.ToUnix8() : resolved.string();
  }

  // The names in `dir` that are valid path components and name themselves
  // exactly; the others are reported.
  std::set<std::string> ValidNames(const Path& dir, const Path& relative) {
    std::set<std::string> valid;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir.ToUnix8(), error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      bool ok = false;
      try {
        const Path path = Path::FromUtf8(name);
        ok = path.Levels() == 1 && path.ToString() == name;
      } catch (const Error&) {
        ok = false;
      }
      if (ok) {
        valid.insert(name);
      } else {
        Note("skipped " + (relative.Empty() ? name : relative.ToString() + "/" + name) +
             ": not a valid path component");
      }
    }
    return valid;
  }

  SnapDir Walk(const Path& dir, const Path& relative, std::vector<std::string>& ancestors, Totals& totals) try {
    std::vector<Entry> entries = native_.ReadDir(dir);
    const std::set<std::string> valid = ValidNames(dir, relative);
    std::erase_if(entries, [&](const Entry& e) {
      if (valid.count(e.name.ToString()) == 0) return true;
      // The snapshot usually lives in the tree it describes; it never lists itself.
      return dir.Levels() < Path::kMaxLevels && dir.Join(e.name) == output_;
    });
    std::sort(entries.begin(), entries.end(), EntryNameLess);

    SnapDir listing;
    for (const Entry& entry : entries) {
      if (!(entry.stat.flags & FLAG_DIR)) {
        ++totals.files;
        totals.bytes += entry.stat.size;
        listing.Add(entry);
        continue;
      }
      ++totals.directories;
      if (dir.Levels() >= Path::kMaxLevels) {
        Note("listing of " + relative.Join(entry.name).ToString() + " left empty: too many path levels");
        listing.Add(entry);
        continue;
      }
      const Path child = dir.Join(entry.name);
      const std::string canonical = Canonical(child);
      if (std::find(ancestors.begin(), ancestors.end(), canonical) != ancestors.end()) {
        Note("listing of " + relative.Join(entry.name).ToString() + " left empty: it leads back to " + canonical);
        listing.Add(entry);
        continue;
      }
      ancestors.push_back(canonical);
      SnapDir sub = Walk(child, relative.Join(entry.name), ancestors, totals);
      ancestors.pop_back();
      listing.Add(entry, std::move(sub));
    }
    return listing;
  }
  OST_TRAIL

  NativeFilesystem native_;
  const Path source_;
  const Path output_;
};

// Writes the snapshot to a hidden temporary file beside `output`, then
// renames it over `output`; on failure the temporary file is removed.
void WriteSnapshot(const SnapDir& snapshot, const Path& output) try {
  std::string bytes;
  StringWriter writer(bytes);
  snapshot.StoreTo(writer);

  NativeFilesystem native;
  const Path temporary =
      output.Parent().Join(Path::FromUtf8("." + output.Last().ToString() + "." + std::to_string(::getpid()) + ".tmp"));
  std::unique_ptr<File> file = native.Open(temporary, File::MODE_CREATE_ALWAYS, File::ACCESS_WO, FLAG_WRITE);
  try {
    file->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    file->Flush();
    file.reset();
    native.Rename(temporary, output, 0);
  } catch (const Error&) {
    file.reset();
    try {
      native.Delete(temporary);
    } catch (const Error& e) {
      Note("could not remove " + temporary.ToUnix8() + ": " + Describe(e));
    }
    throw;
  }
}
OST_TRAIL

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    std::cout << kUsage;
    return 0;
  }
  const bool options = std::any_of(args.begin(), args.end(), [](const std::string& a) { return a.size() > 1 && a[0] == '-'; });
  if (args.size() != 2 || options) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    const Path source = HostPath(args[0]);
    const Path output = HostPath(args[1]);
    if (output.Empty()) OST_THROW(Error(E_INVAL, "Output is not a file name").Add("path", args[1]));
    Totals totals;
    const SnapDir snapshot = Snapshotter(source, output).Run(totals);
    WriteSnapshot(snapshot, output);
    std::cout << "Wrote " << output.ToUnix8() << ": " << totals.directories << " directories, " << totals.files
              << " files, " << totals.bytes << " bytes\n";
    return 0;
  } catch (const Error& e) {
    Note(Describe(e));
  } catch (const std::exception& e) {
    Note(e.what());
  }
  return 1;
}

}  // namespace
}  // namespace OST

int main(int argc, char** argv) { return OST::Main(argc, argv); }
