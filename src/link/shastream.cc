#include "link/shastream.h"

#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "core/log.h"
#include "link/crypto.h"
#include "link/random.h"

namespace OST {

// Chosen once for the whole network; changing any of them makes nodes
// unable to talk to nodes that keep the old values.
const char* const SUFFIX[kShaSuffixCount] = {
    "MnqD4iQh", "Xchibs9n", "tBmj54W3", "VnnNHJVM", "U6y6EcHb", "Mks9E87H", "Jcc7Xyiy", "gYKvMKMm",
    "eohJGMZ8", "mr93guf2", "TWjqFG3o", "wmky3yat", "h6oJ6s4w", "XKyWtdFA", "c5xWnk3S", "2HTzP9oZ",
    "Wg7MvCaa", "qfnTYD7B", "zUfP9S2S", "BtPcpr6V", "mGroKDVW", "q3Hx5vn4", "CA5YhFjP", "Yqq9D7Gm",
    "zxCe22Wp", "QDTJGSbv", "uvfjHwdB", "KHKaeAkw", "KC9Yzt2n", "E5KZDCbi", "LcvR6Nwd", "nWEhDdhx",
    "",         "9Bpx5Q86", "acBsqadb", "eSGtrwFb", "ah9shaAG", "tPVWFV6E", "MuFa3x8d", "2VwjKgRq",
    "Cqprigbz", "SUXLoHLD", "UYag7oun", "PtEDHJWj", "zBoV7LNs", "Du9Mnhom", "rzSiqXvN", "EPxYCUzg",
    "JeV4misp", "6WifBqFj", "LaarNo8G", "BNB5nQdX", "ncYVifJ",  "zkpe2sjT", "RGL2mE4S", "k28uzRye",
    "d3xDKatg", "4VYRCtk8", "48zEyutd", "fFykuD8q", "LmBF2JGc", "6oLFWDFq", "S4hc427Q", "e3tVk3SL",
};

const uint8_t kShaPadConstants[3][kShaPadConstantSize] = {
    {0xCE, 0x39, 0xE6, 0x00, 0xA1, 0xDF, 0x6F, 0x37, 0xCB, 0xA4, 0x36, 0x91, 0xE9, 0x31, 0x96, 0x84},
    {0xE2, 0xFC, 0x50, 0xC1, 0xE7, 0xA8, 0xA3, 0x3C, 0x02, 0x79, 0x0D, 0x60, 0x6B, 0xA9, 0xB4, 0x83},
    {0xDB, 0x15, 0x73, 0xC4, 0xE9, 0x87, 0xB4, 0x09, 0x00, 0x31, 0x6E, 0xF0, 0x4F, 0x4E, 0xBC, 0x70},
};

namespace {

constexpr int kMaxSaltSize = 65536;

int CheckedKeyLength(int length) try {
  if (length < 1 || length > kShaMaxKeyLength) {
    OST_THROW(Error(E_INVAL, "Invalid key length").Add("length", std::to_string(length)));
  }
  return length;
}
OST_TRAIL

int CheckedSaltSize(int64_t size) try {
  if (size < 1 || size > kMaxSaltSize) {
    OST_THROW(Error(E_INVAL, "Invalid salt size").Add("size", std::to_string(size)));
  }
  return static_cast<int>(size);
}
OST_TRAIL

// out[i] = in[i] ^ a[i] ^ b[i] ^ c[i], 32 bytes at a time; `out` may be
// `in`. The vector type and memcpy compile to unaligned vector loads and
// stores.
typedef uint8_t Block32 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void Xor3Body(uint8_t* out, const uint8_t* in, const uint8_t* a, const uint8_t* b,
                                            const uint8_t* c, int64_t n) {
  int64_t i = 0;
  for (; i + 32 <= n; i += 32) {
    Block32 d, x, y, z;
    std::memcpy(&d, in + i, 32);
    std::memcpy(&x, a + i, 32);
    std::memcpy(&y, b + i, 32);
    std::memcpy(&z, c + i, 32);
    d ^= x ^ y ^ z;
    std::memcpy(out + i, &d, 32);
  }
  for (; i < n; ++i) out[i] = in[i] ^ a[i] ^ b[i] ^ c[i];
}

[[gnu::target("avx2")]] void Xor3Avx2(uint8_t* out, const uint8_t* in, const uint8_t* a, const uint8_t* b,
                                      const uint8_t* c, int64_t n) {
  Xor3Body(out, in, a, b, c, n);
}

void Xor3Baseline(uint8_t* out, const uint8_t* in, const uint8_t* a, const uint8_t* b, const uint8_t* c,
                  int64_t n) {
  Xor3Body(out, in, a, b, c, n);
}

// The AVX2 form where the processor has it. Chosen at the first call rather
// than by the loader (ifunc), which the sanitizers' start-up does not allow.
void Xor3(uint8_t* out, const uint8_t* in, const uint8_t* a, const uint8_t* b, const uint8_t* c, int64_t n) {
  using Function = void (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int64_t);
  static const Function chosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? Function{Xor3Avx2} : Function{Xor3Baseline};
  }();
  chosen(out, in, a, b, c, n);
}

}  // namespace

ShaKey::ShaKey(int length) try : length_(CheckedKeyLength(length)), block_(length_ + kShaSpan, 0) {
}
OST_TRAIL

ShaKey::ShaKey(int length, const std::string& a, const std::string& b) try : ShaKey(length) {
  Reset(a, b, 0);
}
OST_TRAIL

void ShaKey::Reset(const std::string& a, const std::string& b, int64_t offset) {
  // Every block hashes the same a | b first; hash that prefix once.
  Sha256Context prefix;
  sha256_init(prefix);
  sha256_update(prefix, a.data(), a.size());
  sha256_update(prefix, b.data(), b.size());
  const int blocks = (length_ + kSha256Size - 1) / kSha256Size;
  for (int i = 0; i < blocks; ++i) {
    Sha256Context context = prefix;
    sha256_update(context, SUFFIX[i], std::strlen(SUFFIX[i]));
    uint8_t digest[kSha256Size];
    sha256_final(context, digest);
    const int start = i * kSha256Size;
    std::memcpy(block_.data() + start, digest, std::min(kSha256Size, length_ - start));
  }
  for (int j = 0; j < kShaSpan; ++j) block_[length_ + j] = block_[j % length_];
  position_ = static_cast<int>(offset % length_);
}

void ShaKey::Apply(void* data, int64_t n) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (n > 0) {
    const int64_t span = std::min<int64_t>(n, kShaSpan);
    const uint8_t* key = Span();
    for (int64_t i = 0; i < span; ++i) bytes[i] ^= key[i];
    Advance(span);
    bytes += span;
    n -= span;
  }
}

ShaPad3::ShaPad3(int l1, int l2, int l3) try : k1_(l1), k2_(l2), k3_(l3) {
}
OST_TRAIL

ShaPad3::ShaPad3(int l1, int l2, int l3, const std::string& salt, const std::string& key) try
    : ShaPad3(l1, l2, l3) {
  Reset(salt, key, 0);
}
OST_TRAIL

void ShaPad3::Reset(const std::string& salt, const std::string& key, int64_t offset) {
  ShaKey* keys[3] = {&k1_, &k2_, &k3_};
  for (int k = 0; k < 3; ++k) {
    std::string a = salt;
    a.append(reinterpret_cast<const char*>(kShaPadConstants[k]), kShaPadConstantSize);
    keys[k]->Reset(a, key, offset);
  }
}

void ShaPad3::Apply(void* data, int64_t n) { ApplyTo(data, data, n); }

void ShaPad3::ApplyTo(void* out, const void* in, int64_t n) {
  auto* to = static_cast<uint8_t*>(out);
  const auto* from = static_cast<const uint8_t*>(in);
  while (n > 0) {
    const int64_t span = std::min<int64_t>(n, kShaSpan);
    Xor3(to, from, k1_.Span(), k2_.Span(), k3_.Span(), span);
    k1_.Advance(span);
    k2_.Advance(span);
    k3_.Advance(span);
    to += span;
    from += span;
    n -= span;
  }
}

int64_t ShaPad3::Period() const {
  return int64_t{k1_.Length()} * k2_.Length() * k3_.Length();
}

ShaStream::ShaStream(int saltSize, Stream& inner, std::string key, int l1, int l2, int l3) try
    : inner_(inner),
      key_(std::move(key)),
      saltSize_(CheckedSaltSize(saltSize)),
      period_(int64_t{CheckedKeyLength(l1)} * CheckedKeyLength(l2) * CheckedKeyLength(l3)),
      readPad_(l1, l2, l3),
      salt_(saltSize_, '\0'),
      writePad_(l1, l2, l3),
      writeBuffer_(new uint8_t[kShaWriteBufferSize]) {
}
OST_TRAIL

ShaStream::ShaStream(const std::string& salt, int64_t offset, Stream& inner, std::string key, int l1, int l2,
                     int l3) try
    : ShaStream(CheckedSaltSize(static_cast<int64_t>(salt.size())), inner, std::move(key), l1, l2, l3) {
  if (offset < 0 || offset > period_) {
    OST_THROW(Error(E_ILSEQ, "Read position exceeds pad size").Add("offset", std::to_string(offset)));
  }
  readPad_.Reset(salt, key_, offset);
  readLeft_ = period_ - offset;
}
OST_TRAIL

ShaStream::~ShaStream() = default;

int64_t ShaStream::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const TimeoutMs t = GetTimeout(timeout);
  if (length <= 0) return 0;
  if (readLeft_ == 0) {
    while (saltReceived_ < saltSize_) {
      const int64_t n = inner_.ReadTimed(salt_.data() + saltReceived_, saltSize_ - saltReceived_, t);
      if (n <= 0) return 0;
      saltReceived_ += static_cast<int>(n);
    }
    saltReceived_ = 0;
    readPad_.Reset(salt_, key_, 0);
    readLeft_ = period_;
  }
  const int64_t n = inner_.ReadTimed(buffer, std::min(length, readLeft_), t);
  if (n <= 0) return 0;
  readPad_.Apply(buffer, n);
  readLeft_ -= n;
  return n;
}
OST_TRAIL

void ShaStream::Writev(const Iovec* iov, int count) try {
  if (writeBroken_) OST_THROW(Error(E_IO, "Cipher stream is out of step after a failed write"));
  // The pad advances as bytes are encrypted, before they are delivered; if
  // anything fails from here on, the peer's pad stays behind ours and nothing
  // written later could be decrypted.
  writeBroken_ = true;
  uint8_t* const buffer = writeBuffer_.get();
  int64_t used = 0;
  for (int i = 0; i < count; ++i) {
    const auto* data = static_cast<const uint8_t*>(iov[i].data);
    int64_t left = iov[i].length;
    while (left > 0) {
      if (writeLeft_ == 0) {
        // A new period: its salt goes out in clear before its ciphertext.
        if (used + saltSize_ > kShaWriteBufferSize) {
          WriteBuf(used);
          used = 0;
        }
        Rng().GetRandomBytes(buffer + used, saltSize_);
        writePad_.Reset(std::string(reinterpret_cast<char*>(buffer + used), saltSize_), key_, 0);
        writeLeft_ = period_;
        used += saltSize_;
      }
      // Copying and encrypting are one pass from the caller's memory.
      const int64_t m = std::min({left, kShaWriteBufferSize - used, writeLeft_});
      writePad_.ApplyTo(buffer + used, data, m);
      writeLeft_ -= m;
      used += m;
      data += m;
      left -= m;
      if (used == kShaWriteBufferSize) {
        WriteBuf(used);
        used = 0;
      }
    }
  }
  if (used > 0) WriteBuf(used);
  writeBroken_ = false;
}
OST_TRAIL

void ShaStream::WriteBuf(int64_t n) try { inner_.Write(writeBuffer_.get(), n); }
OST_TRAIL

void ShaStream::Flush() try { inner_.Flush(); }
OST_TRAIL

void ShaStream::Stop() try { inner_.Stop(); }
OST_TRAIL

namespace {
Stream& NonNull(const std::unique_ptr<Stream>& inner) try {
  if (!inner) OST_THROW(Error(E_INVAL, "Missing inner stream"));
  return *inner;
}
OST_TRAIL
}  // namespace

ShaStream2::ShaStream2(int saltSize, std::unique_ptr<Stream> inner, std::string key, int l1, int l2, int l3) try
    : ShaStream(saltSize, NonNull(inner), std::move(key), l1, l2, l3), owned_(std::move(inner)) {
}
OST_TRAIL

ShaStream2::~ShaStream2() = default;

}  // namespace OST
