#include "util/test_streams.h"

#include <algorithm>
#include <cstring>

namespace OST::testutil {

int64_t ScriptedSource::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) {
  requested.push_back(length);
  timeouts.push_back(timeout);
  if (chunks_.empty()) return 0;
  std::string& front = chunks_.front();
  const int64_t n = std::min<int64_t>(length, front.size());
  std::memcpy(buffer, front.data(), n);
  if (n == static_cast<int64_t>(front.size())) {
    chunks_.pop_front();
  } else {
    front.erase(0, n);
  }
  return n;
}

int64_t EndlessSource::ReadTimed(void* buffer, int64_t length, TimeoutMs) {
  requested.push_back(length);
  const int64_t n = std::min(length, left_);
  std::memset(buffer, 'x', n);
  left_ -= n;
  return n;
}

void RecordingSink::Writev(const Iovec* iov, int count) {
  std::vector<std::string> call;
  for (int i = 0; i < count; ++i) call.emplace_back(static_cast<const char*>(iov[i].data), iov[i].length);
  calls.push_back(std::move(call));
}

std::string RecordingSink::All() const {
  std::string all;
  for (const auto& call : calls)
    for (const auto& piece : call) all += piece;
  return all;
}

struct CapturedLog::Writer : public LogWriter {
  void Write(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  }
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

namespace {
// Forwards to a shared writer, so the capture outlives its installation.
struct ForwardingLogWriter : public LogWriter {
  explicit ForwardingLogWriter(std::shared_ptr<LogWriter> target) : target(std::move(target)) {}
  void Write(const std::string& line) override { target->Write(line); }
  std::shared_ptr<LogWriter> target;
};
struct ForwardingConsole : public ConsoleWriter {
  explicit ForwardingConsole(std::shared_ptr<ConsoleWriter> target) : target(std::move(target)) {}
  void Out(const std::string& text) override { target->Out(text); }
  std::shared_ptr<ConsoleWriter> target;
};
}  // namespace

CapturedLog::CapturedLog() : writer_(std::make_shared<Writer>()) {
  for (int i = 0; i < kLogCategories; ++i) savedSwitches_[i] = LogEnabled[i];
  saved_ = std::move(Logger());
  Logger() = std::make_unique<ForwardingLogWriter>(writer_);
}

CapturedLog::~CapturedLog() {
  Logger() = std::move(saved_);
  for (int i = 0; i < kLogCategories; ++i) LogEnabled[i] = savedSwitches_[i];
}

std::vector<std::string> CapturedLog::Lines() const {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  return writer_->lines;
}

bool CapturedLog::HasLineEndingWith(const std::string& suffix) const {
  for (const std::string& line : Lines()) {
    if (line.size() >= suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

struct CapturedConsole::Writer : public ConsoleWriter {
  void Out(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(text);
  }
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

CapturedConsole::CapturedConsole() : writer_(std::make_shared<Writer>()) {
  saved_ = std::move(Console());
  Console() = std::make_unique<ForwardingConsole>(writer_);
}

CapturedConsole::~CapturedConsole() { Console() = std::move(saved_); }

std::vector<std::string> CapturedConsole::Lines() const {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  return writer_->lines;
}

}  // namespace OST::testutil
