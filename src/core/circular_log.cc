#include "core/circular_log.h"

#include <algorithm>

#include "core/error.h"

namespace OST {
namespace {

std::string Marker() { return "\n" + std::string(16, '=') + std::string(8, '\n'); }

}  // namespace

CircularLogWriter::CircularLogWriter(Filesystem& fs, const Path& path, int64_t size) try
    : console_(std::make_unique<ConsoleLogWriter>()),
      path_(path),
      size_(static_cast<uint64_t>(size)),
      marker_(Marker()) {
  if (size < kMinSize) OST_THROW(Error(E_INVAL, "Circular file size is too small"));
  try {
    if (fs.GetStat(path_).flags & FLAG_DIR) {
      path_.Append(Path::FromUtf8("ostrel-" + LogNow().substr(0, 15) + ".log"));
    }
  } catch (const Error&) {
    // Nothing at the path yet: it names the file itself.
  }
  file_ = fs.Open(path_, File::MODE_CREATE_ALWAYS, File::ACCESS_RW, FLAG_WRITE);
  OST_LOG(kLogVerbose1, "file={} size={}", path, size);
}
OST_TRAIL

void CircularLogWriter::Write(const std::string& line) try {
  std::lock_guard<std::mutex> lock(mutex_);
  if (console_) console_->Write(line);
  // Step back over the previous marker, keeping its first byte: that newline
  // ends the previous line. A marker split by the wrap (or written at offset
  // 0) is left alone and overwritten when the writing comes round again.
  if (position_ > marker_.size()) {
    const int64_t back = 1 - static_cast<int64_t>(marker_.size());
    file_->Seek(back, File::ORIGIN_CUR);
    position_ += back;
  }
  WriteString(line);
  WriteString(marker_);
}
OST_TRAIL

void CircularLogWriter::WriteString(const std::string& text) try {
  size_t done = 0;
  while (done < text.size()) {
    const uint64_t chunk = std::min<uint64_t>(text.size() - done, size_ - position_);
    file_->Write(text.data() + done, static_cast<int64_t>(chunk));
    done += chunk;
    position_ += chunk;
    if (position_ == size_) {
      file_->Seek(0, File::ORIGIN_SET);
      position_ = 0;
    }
  }
}
OST_TRAIL

void CircularLogWriter::DetachConsole() {
  std::lock_guard<std::mutex> lock(mutex_);
  console_.reset();
}

}  // namespace OST
