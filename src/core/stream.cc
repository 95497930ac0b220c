#include "core/stream.h"

#include <algorithm>

#include "core/error.h"

namespace OST {
namespace {
constexpr int64_t kCopyChunk = 131072;
}  // namespace

TimeoutMs ByteSource::GetTimeout(TimeoutMs t) const { return t == kDefaultTimeout ? timeout_ : t; }

void ByteSource::SetTimeout(TimeoutMs t) { timeout_ = t; }

int64_t ByteSource::ReadAny(void* buffer, int64_t length) try {
  return ReadTimed(buffer, length, timeout_);
}
OST_TRAIL

void ByteSource::Read(void* buffer, int64_t length) try {
  auto* bytes = static_cast<char*>(buffer);
  int64_t received = 0;
  while (received < length) {
    const int64_t n = ReadAny(bytes + received, length - received);
    if (n == 0) OST_THROW(Error(E_PIPE, "End of stream reached"));
    received += n;
  }
}
OST_TRAIL

void ByteSink::Write(const void* data, int64_t length) try {
  const Iovec iov{data, length};
  Writev(&iov, 1);
}
OST_TRAIL

int64_t StreamCopyAny(ByteSink& to, ByteSource& from, int64_t count) try {
  if (count <= 0) return 0;
  char buffer[kCopyChunk];
  int64_t total = 0;
  int64_t remaining = count;
  while (remaining > 0) {
    const int64_t n = from.ReadAny(buffer, std::min(remaining, kCopyChunk));
    if (n == 0) break;
    to.Write(buffer, n);
    total += n;
    remaining -= n;
  }
  return total;
}
OST_TRAIL

int64_t StreamCopy(ByteSink& to, ByteSource& from, int64_t count) try {
  const int64_t copied = StreamCopyAny(to, from, count);
  if (copied < count) OST_THROW(Error(E_PIPE, "End of stream reached"));
  return copied;
}
OST_TRAIL

void StreamCopy(ByteSink& to, ByteSource& from) try {
  char buffer[kCopyChunk];
  for (;;) {
    const int64_t n = from.ReadAny(buffer, kCopyChunk);
    if (n == 0) return;
    to.Write(buffer, n);
  }
}
OST_TRAIL

std::string IovecsToString(const Iovec* iov, int count) {
  std::string out = "[ ";
  for (int i = 0; i < count; ++i) {
    out += std::to_string(iov[i].length);
    out += ' ';
  }
  out += ']';
  return out;
}

}  // namespace OST
