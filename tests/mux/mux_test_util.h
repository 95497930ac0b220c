// Helpers for the multiplexer tests: a scripted connection that records the
// frames a dispatcher sends, frame building and parsing, a log capture that
// can be waited on, and connected socket pairs on 127.0.0.1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/stream.h"

namespace OST::testutil {

// One frame as it went over the wire.
struct Frame {
  uint8_t type = 0;
  uint16_t slot = 0;
  std::string payload;
  bool flushed = false;  // a Flush came right after its last byte
};

// The bytes of one frame.
std::string FrameBytes(uint16_t slot, const std::string& payload, uint8_t type = 0);

// What a dispatcher's connection saw, shared between the connection (owned
// by the dispatcher) and the test.
//
// Thread contract: safe from any thread.
class Wire {
 public:
  // Adds one chunk for the dispatcher to read; each ReadTimed hands out at
  // most one chunk (cut to the length asked for). An empty chunk reads as a
  // time-out; once the script is used up, every read returns 0.
  void AddInput(std::string chunk);

  // Everything written, parsed into frames. A trailing partial frame is a
  // test failure.
  std::vector<Frame> Frames() const;
  // The frames other than pings (the dead-peer sequence at the end of a
  // scripted run sends three).
  std::vector<Frame> FramesWithoutPings() const;
  // The time-out of every read, in order.
  std::vector<TimeoutMs> ReadTimeouts() const;
  int Stops() const;

 private:
  friend class ScriptedConnection;
  mutable std::mutex mutex_;
  std::deque<std::string> input_;
  std::string output_;
  std::set<size_t> flushes_;  // output sizes at each Flush
  std::vector<TimeoutMs> timeouts_;
  int stops_ = 0;
};

// The connection end a dispatcher owns; everything goes to a shared Wire.
// After Stop, reads fail with E_INTR "Read has been interrupted".
class ScriptedConnection : public NonCopyable, public virtual Stream {
 public:
  explicit ScriptedConnection(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {}

  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  void Writev(const Iovec* iov, int count) override;
  void Flush() override;
  void Stop() override;

 private:
  std::shared_ptr<Wire> wire_;
  bool stopped_ = false;  // guarded by wire_->mutex_
};

// Captures log lines of the multiplexer categories (113, 114, 123) while
// alive; restores the previous writer and switches afterwards. Create it
// before any thread logs and destroy it after they have ended.
class LogWatch {
 public:
  LogWatch();
  ~LogWatch();
  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  std::vector<std::string> Lines() const;
  // The message parts (after "file:line:function ") of all lines, in order.
  std::vector<std::string> Messages() const;
  // Lines whose message is exactly `message`.
  int Count(const std::string& message) const;
  // Lines whose text contains `text`.
  int CountContaining(const std::string& text) const;
  // Waits until `done(messages)` holds for the message parts of all lines so
  // far, at most `limit`; false when the time ran out.
  bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;
  // Waits until Count(message) >= n, at most `limit`; false when the time ran out.
  bool WaitFor(const std::string& message, int n = 1,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;
  // Waits until CountContaining(text) >= n, at most `limit`.
  bool WaitForContaining(const std::string& text, int n = 1,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

 private:
  struct Writer;
  std::shared_ptr<Writer> writer_;
  std::unique_ptr<LogWriter> saved_;
  unsigned char savedSwitches_[kLogCategories];
};

// Reads exactly `n` bytes from `stream` on another thread, waiting at most
// `limit`. When the time runs out (or the read fails) the test fails, the
// stream is stopped so that the thread ends, and "" is returned.
std::string ReadExactly(Stream& stream, size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Two connected ends on 127.0.0.1 (ephemeral port); with `cipher`, each is
// wrapped in the established-connection cipher with the same key.
std::pair<std::unique_ptr<Stream>, std::unique_ptr<Stream>> MakeConnectionPair(bool cipher);

// `n` bytes from a generator seeded with `seed`.
std::string RandomBytes(uint32_t seed, size_t n);

}  // namespace OST::testutil
