// Small helpers shared by the secure-link tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "core/error.h"
#include "core/stream.h"
#include "util/test_streams.h"

namespace OST::linktest {

// "0a1b" -> the bytes 0x0a 0x1b.
inline std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

inline std::string ToHex(const void* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

inline const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Runs `action` and returns the Error it throws; a test failure if none.
inline Error CatchError(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no Error thrown";
  return Error(E_OK, "");
}

// The value of the first detail pair named `name`, or "".
inline std::string Detail(const Error& e, const std::string& name) {
  for (const auto& [key, value] : e.Pairs())
    if (key == name) return value;
  return "";
}

// Reads from `input` (as much as asked, 0 at its end) and appends every
// write to `output`, counting the Writev calls.
class BufferStream : public NonCopyable, public virtual Stream {
 public:
  explicit BufferStream(std::string input = "") : input(std::move(input)) {}
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs) override {
    const int64_t n = std::min<int64_t>(length, static_cast<int64_t>(input.size() - position));
    if (n > 0) input.copy(static_cast<char*>(buffer), n, position);
    position += n;
    return n > 0 ? n : 0;
  }
  void Writev(const Iovec* iov, int count) override {
    ++writes;
    for (int i = 0; i < count; ++i) output.append(static_cast<const char*>(iov[i].data), iov[i].length);
  }
  // The bytes read so far are gone; what is left is `input`.
  std::string Unread() const { return input.substr(position); }
  void Flush() override {}
  void Stop() override {}

  std::string input;
  size_t position = 0;
  std::string output;
  int writes = 0;
};

// A scripted source (see ScriptedSource) that also swallows writes.
class ScriptedStream : public testutil::ScriptedSource, public virtual Stream {
 public:
  using testutil::ScriptedSource::ScriptedSource;
  void Writev(const Iovec*, int) override {}
  void Flush() override {}
};

}  // namespace OST::linktest
