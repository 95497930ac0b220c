// Test doubles for the stream interfaces and the log.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/stream.h"

namespace OST::testutil {

// Hands out scripted chunks, one per ReadTimed call (cut to the length asked
// for; the rest stays for the next call). An empty chunk reads as 0 (a
// time-out or the end). Records every requested length.
class ScriptedSource : public NonCopyable, public virtual ByteSource {
 public:
  ScriptedSource() = default;
  explicit ScriptedSource(std::vector<std::string> chunks) : chunks_(chunks.begin(), chunks.end()) {}

  void Add(std::string chunk) { chunks_.push_back(std::move(chunk)); }
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override { ++stops; }

  std::vector<int64_t> requested;
  std::vector<TimeoutMs> timeouts;
  int stops = 0;

 private:
  std::deque<std::string> chunks_;
};

// Always returns as many bytes as asked for (the letter 'x'), up to `total`.
class EndlessSource : public NonCopyable, public virtual ByteSource {
 public:
  explicit EndlessSource(int64_t total) : left_(total) {}
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Stop() override {}
  std::vector<int64_t> requested;

 private:
  int64_t left_;
};

// Records each Writev call as the list of its element texts, and each Flush.
class RecordingSink : public NonCopyable, public virtual ByteSink {
 public:
  void Writev(const Iovec* iov, int count) override;
  void Flush() override { ++flushes; }

  std::string All() const;

  std::vector<std::vector<std::string>> calls;
  int flushes = 0;
};

// Captures whole log lines while alive and restores the previous writer and
// switches afterwards.
class CapturedLog {
 public:
  CapturedLog();
  ~CapturedLog();
  std::vector<std::string> Lines() const;
  // True when some line ends with `suffix` (the message part).
  bool HasLineEndingWith(const std::string& suffix) const;

 private:
  struct Writer;
  std::shared_ptr<Writer> writer_;
  std::unique_ptr<LogWriter> saved_;
  unsigned char savedSwitches_[kLogCategories];
};

// Captures what is written to Console() while alive.
class CapturedConsole {
 public:
  CapturedConsole();
  ~CapturedConsole();
  std::vector<std::string> Lines() const;

 private:
  struct Writer;
  std::shared_ptr<Writer> writer_;
  std::unique_ptr<ConsoleWriter> saved_;
};

}  // namespace OST::testutil
