#include "mux/mux_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <random>

#include "core/error.h"
#include "io/socket.h"
#include "link/shastream.h"

namespace OST::testutil {

std::string FrameBytes(uint16_t slot, const std::string& payload, uint8_t type) {
  std::string bytes;
  bytes += static_cast<char>(type);
  bytes += static_cast<char>(slot & 0xFF);
  bytes += static_cast<char>(slot >> 8);
  bytes += static_cast<char>(payload.size() & 0xFF);
  bytes += static_cast<char>((payload.size() >> 8) & 0xFF);
  return bytes + payload;
}

void Wire::AddInput(std::string chunk) {
  std::lock_guard<std::mutex> lock(mutex_);
  input_.push_back(std::move(chunk));
}

std::vector<Frame> Wire::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Frame> frames;
  size_t at = 0;
  while (at < output_.size()) {
    if (output_.size() - at < 5) {
      ADD_FAILURE() << "partial frame header at byte " << at;
      break;
    }
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(output_[at + i]); };
    Frame frame;
    frame.type = byte(0);
    frame.slot = static_cast<uint16_t>(byte(1) | byte(2) << 8);
    const size_t length = byte(3) | byte(4) << 8;
    if (output_.size() - at - 5 < length) {
      ADD_FAILURE() << "partial frame payload at byte " << at;
      break;
    }
    frame.payload = output_.substr(at + 5, length);
    at += 5 + length;
    frame.flushed = flushes_.count(at) != 0;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<Frame> Wire::FramesWithoutPings() const {
  std::vector<Frame> frames = Frames();
  frames.erase(std::remove_if(frames.begin(), frames.end(),
                              [](const Frame& f) { return f.slot == 0xFFF0 && f.payload.empty(); }),
               frames.end());
  return frames;
}

std::vector<TimeoutMs> Wire::ReadTimeouts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_;
}

int Wire::Stops() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stops_;
}

int64_t ScriptedConnection::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) {
  std::lock_guard<std::mutex> lock(wire_->mutex_);
  if (stopped_) OST_THROW(Error(E_INTR, "Read has been interrupted"));
  wire_->timeouts_.push_back(GetTimeout(timeout));
  if (wire_->input_.empty()) return 0;
  std::string& front = wire_->input_.front();
  const int64_t n = std::min<int64_t>(length, static_cast<int64_t>(front.size()));
  std::memcpy(buffer, front.data(), n);
  if (n == static_cast<int64_t>(front.size()))
    wire_->input_.pop_front();
  else
    front.erase(0, n);
  return n;
}

void ScriptedConnection::Writev(const Iovec* iov, int count) {
  std::lock_guard<std::mutex> lock(wire_->mutex_);
  for (int i = 0; i < count; ++i) wire_->output_.append(static_cast<const char*>(iov[i].data), iov[i].length);
}

void ScriptedConnection::Flush() {
  std::lock_guard<std::mutex> lock(wire_->mutex_);
  wire_->flushes_.insert(wire_->output_.size());
}

void ScriptedConnection::Stop() {
  std::lock_guard<std::mutex> lock(wire_->mutex_);
  stopped_ = true;
  ++wire_->stops_;
}

struct LogWatch::Writer : public LogWriter {
  void Write(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
    changed.notify_all();
  }
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> lines;
};

namespace {

// Forwards to the shared writer, so the capture outlives its installation.
struct ForwardingWriter : public LogWriter {
  explicit ForwardingWriter(std::shared_ptr<LogWriter> target) : target(std::move(target)) {}
  void Write(const std::string& line) override { target->Write(line); }
  std::shared_ptr<LogWriter> target;
};

// "time thread file:line:function message" -> "message".
std::string MessageOf(const std::string& line) {
  size_t at = 0;
  for (int i = 0; i < 3 && at != std::string::npos; ++i) {
    at = line.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? std::string() : line.substr(at);
}

}  // namespace

LogWatch::LogWatch() : writer_(std::make_shared<Writer>()) {
  for (int i = 0; i < kLogCategories; ++i) savedSwitches_[i] = LogEnabled[i];
  saved_ = std::move(Logger());
  Logger() = std::make_unique<ForwardingWriter>(writer_);
  for (int category : {113, 114, 123}) LogEnabled[category] = 1;
}

LogWatch::~LogWatch() {
  Logger() = std::move(saved_);
  for (int i = 0; i < kLogCategories; ++i) LogEnabled[i] = savedSwitches_[i];
}

std::vector<std::string> LogWatch::Lines() const {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  return writer_->lines;
}

std::vector<std::string> LogWatch::Messages() const {
  std::vector<std::string> messages;
  for (const std::string& line : Lines()) messages.push_back(MessageOf(line));
  return messages;
}

int LogWatch::Count(const std::string& message) const {
  const std::vector<std::string> messages = Messages();
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

int LogWatch::CountContaining(const std::string& text) const {
  const std::vector<std::string> lines = Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

bool LogWatch::WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                         std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(writer_->mutex);
  return writer_->changed.wait_for(lock, limit, [&] {
    std::vector<std::string> messages;
    for (const std::string& line : writer_->lines) messages.push_back(MessageOf(line));
    return done(messages);
  });
}

bool LogWatch::WaitFor(const std::string& message, int n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(writer_->mutex);
  return writer_->changed.wait_for(lock, limit, [&] {
    return std::count_if(writer_->lines.begin(), writer_->lines.end(),
                         [&](const std::string& l) { return MessageOf(l) == message; }) >= n;
  });
}

bool LogWatch::WaitForContaining(const std::string& text, int n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(writer_->mutex);
  return writer_->changed.wait_for(lock, limit, [&] {
    return std::count_if(writer_->lines.begin(), writer_->lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; }) >= n;
  });
}

std::string ReadExactly(Stream& stream, size_t n, std::chrono::milliseconds limit) {
  auto reading = std::async(std::launch::async, [&stream, n] {
    std::string data(n, '\0');
    stream.Read(data.data(), static_cast<int64_t>(n));
    return data;
  });
  if (reading.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "fewer than " << n << " bytes arrived in time";
    stream.Stop();
  }
  try {
    return reading.get();
  } catch (const Error& e) {
    ADD_FAILURE() << "read failed: " << e.FullText(',');
    return "";
  }
}

std::pair<std::unique_ptr<Stream>, std::unique_ptr<Stream>> MakeConnectionPair(bool cipher) {
  ServerSocket server(IpPort(0), 4);
  ConnectSocket connector;
  std::unique_ptr<Stream> a = connector.Connect(IpAddr(0x7F000001), server.BoundPort(), TimeoutMs(5000));
  std::unique_ptr<Stream> b = server.Accept();
  if (!cipher) return {std::move(a), std::move(b)};
  const std::string key = RandomBytes(7, 96);
  const ShaParams& p = kConnectionCipher;
  return {std::make_unique<ShaStream2>(p.saltSize, std::move(a), key, p.l1, p.l2, p.l3),
          std::make_unique<ShaStream2>(p.saltSize, std::move(b), key, p.l1, p.l2, p.l3)};
}

std::string RandomBytes(uint32_t seed, size_t n) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace OST::testutil
