// CircularLogWriter: the log kept in one file of fixed size.
//
// The file is written from its start; when the write position reaches the
// size it goes back to offset 0 and overwrites the oldest lines. The newest
// line is always followed by an end marker (a line of sixteen '=' and eight
// empty lines), so a reader can find where the log currently ends. Until
// DetachConsole, every line is also echoed to the console.
//
// Thread contract: safe from any thread; one mutex orders whole lines, the
// console echo included (this mutex first, then the console writer's).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/fs.h"
#include "core/log.h"

namespace OST {

class CircularLogWriter : public NonCopyable, public virtual LogWriter {
 public:
  static constexpr int64_t kMinSize = 1049;  // the marker's 25 bytes plus 1024

  // Opens (creates or truncates) the log file through `fs`, which must
  // outlive the writer. A path naming a directory gets a file
  // "ostrel-YYYYMMDD-HHMMSS.log" inside it. Throws E_INVAL "Circular file
  // size is too small" for a size below kMinSize (negative sizes included),
  // and the filesystem's error when the file cannot be opened.
  CircularLogWriter(Filesystem& fs, const Path& path, int64_t size);

  void Write(const std::string& line) override;

  // The completed path of the file.
  const Path& Filename() const { return path_; }

  // Ends the echo to the console; later lines go to the file only.
  void DetachConsole();

 private:
  // Writes the text at the position, wrapping at the size. Requires mutex_.
  void WriteString(const std::string& text);

  std::unique_ptr<ConsoleLogWriter> console_;  // null after DetachConsole
  std::mutex mutex_;
  // Constant after construction:
  Path path_;
  std::unique_ptr<File> file_;
  uint64_t size_;
  const std::string marker_;
  // Protected by mutex_; always below size_ between calls and equal to the
  // file's own position.
  uint64_t position_ = 0;
};

}  // namespace OST
