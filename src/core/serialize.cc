#include "core/serialize.h"

#include <algorithm>

#include "core/error.h"
#include "core/text.h"

namespace OST::Serializer {
namespace {

template <typename T>
void StoreInt(ByteSink& sink, T v) {
  using U = std::make_unsigned_t<T>;
  unsigned char bytes[sizeof(T)];
  U u = static_cast<U>(v);
  for (size_t i = 0; i < sizeof(T); ++i) {
    bytes[i] = static_cast<unsigned char>(u & 0xFF);
    if constexpr (sizeof(T) > 1) u >>= 8;
  }
  sink.Write(bytes, sizeof(T));
}

template <typename T>
void LoadInt(ByteSource& source, T& v) {
  using U = std::make_unsigned_t<T>;
  unsigned char bytes[sizeof(T)];
  source.Read(bytes, sizeof(T));
  U u = 0;
  for (size_t i = sizeof(T); i-- > 0;) {
    if constexpr (sizeof(T) > 1) u <<= 8;
    u |= bytes[i];
  }
  v = static_cast<T>(u);
}

constexpr uint32_t kMaxStoredLength = 4294967294u;
constexpr int64_t kLoadStep = 1 << 20;

}  // namespace

void Store(ByteSink& sink, int8_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, int16_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, int32_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, int64_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, uint8_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, uint16_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, uint32_t v) try { StoreInt(sink, v); } OST_TRAIL
void Store(ByteSink& sink, uint64_t v) try { StoreInt(sink, v); } OST_TRAIL

void Store(ByteSink& sink, const std::string& v) try {
  const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(v.size(), kMaxStoredLength));
  StoreInt(sink, length);
  sink.Write(v.data(), length);
}
OST_TRAIL

void Store(ByteSink& sink, const std::u32string& v) try { Store(sink, string32to8(v)); }
OST_TRAIL

void Load(ByteSource& source, int8_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, int16_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, int32_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, int64_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, uint8_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, uint16_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, uint32_t& v) try { LoadInt(source, v); } OST_TRAIL
void Load(ByteSource& source, uint64_t& v) try { LoadInt(source, v); } OST_TRAIL

void Load(ByteSource& source, std::string& v) try {
  int32_t length = 0;
  LoadInt(source, length);
  if (length < 0) {
    OST_THROW(Error(E_INVAL, "Invalid string length").Add("length", std::to_string(static_cast<uint32_t>(length))));
  }
  std::string bytes;
  int64_t received = 0;
  while (received < length) {
    const int64_t step = std::min<int64_t>(length - received, kLoadStep);
    bytes.resize(received + step);
    source.Read(bytes.data() + received, step);
    received += step;
  }
  v = std::move(bytes);
}
OST_TRAIL

void Load(ByteSource& source, std::u32string& v) try {
  std::string bytes;
  Load(source, bytes);
  v = string8to32(bytes);
}
OST_TRAIL

}  // namespace OST::Serializer
