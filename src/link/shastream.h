// The keystream cipher that every byte between two nodes passes through.
//
// A ShaStream XORs the bytes of each direction with a keystream built from a
// key string and random salt blocks that travel in clear. Each direction is
// a salt block, one period of ciphertext, the next salt block, and so on; the
// last period may be incomplete. Within a period the keystream is
// k1[i mod L1] ^ k2[i mod L2] ^ k3[i mod L3] (a ShaPad3), where each periodic
// key ki (a ShaKey) is derived with SHA-256 from the salt, a built-in pad
// constant, the key and built-in suffixes. With pairwise coprime lengths the
// keystream repeats only after L1 * L2 * L3 bytes, which is the period.
//
// The cipher carries no integrity check: a wrong key or altered bytes only
// decrypt to other bytes. During connection set-up the handshake's preamble
// and CRC catch a wrong key.
//
// Thread contract: ShaKey and ShaPad3 are used by one thread at a time. A
// ShaStream may be read by one thread while another writes (the two sides
// share only the constant key); two readers or two writers must be
// serialised by the owner. Stop is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/stream.h"

namespace OST {

inline constexpr int kShaMaxKeyLength = 2048;
inline constexpr int kShaSuffixCount = 64;  // one per 32-byte block of the longest key
inline constexpr int kShaPadConstantSize = 16;
// Keys keep a copy of their start after their end, so that any span of up to
// this many bytes from any position is contiguous in memory.
inline constexpr int kShaSpan = 2048;
inline constexpr int64_t kShaWriteBufferSize = 131072;

// Built-in key material, identical on every node of a network. Each SUFFIX
// entry counts up to its terminating zero: 62 entries of 8 bytes, entry 32
// empty, entry 52 of 7 bytes. The pad constants are used whole, one per key
// of a ShaPad3.
extern const char* const SUFFIX[kShaSuffixCount];
extern const uint8_t kShaPadConstants[3][kShaPadConstantSize];

// Salt size and key lengths of a cipher.
struct ShaParams {
  int saltSize;
  int l1, l2, l3;
};
// Connection set-up, keyed with a peer's configured secret (period 20677).
inline constexpr ShaParams kSetupCipher{128, 23, 29, 31};
// Established connection, keyed with the connection key (period 147413303).
inline constexpr ShaParams kConnectionCipher{128, 521, 523, 541};

// One periodic key: `length` bytes, applied from a position that wraps.
class ShaKey {
 public:
  // An all-zero key. Throws E_INVAL "Invalid key length" (detail `length`)
  // for a length outside 1..2048.
  explicit ShaKey(int length);
  // Constructs, then Reset(a, b, 0).
  ShaKey(int length, const std::string& a, const std::string& b);

  // Byte j of the key becomes byte j mod 32 of SHA-256(a | b | SUFFIX[j / 32]);
  // the position becomes offset mod length. Requires: offset >= 0.
  void Reset(const std::string& a, const std::string& b, int64_t offset);
  // XORs `n` bytes with the key from the position on, wrapping at the
  // length, and leaves the position after the last key byte used.
  void Apply(void* data, int64_t n);

  int Length() const { return length_; }
  int Position() const { return position_; }
  // The key bytes from the position on; kShaSpan bytes are readable.
  const uint8_t* Span() const { return block_.data() + position_; }
  // Moves the position on by `n` bytes, wrapping at the length.
  void Advance(int64_t n) { position_ = static_cast<int>((position_ + n) % length_); }

 private:
  int length_;
  int position_ = 0;
  // length_ + kShaSpan bytes: the key, then its start repeated.
  std::vector<uint8_t> block_;
};

// Three periodic keys applied together.
class ShaPad3 {
 public:
  // Throws E_INVAL "Invalid key length" for a length outside 1..2048.
  // Requires: the lengths are pairwise coprime.
  ShaPad3(int l1, int l2, int l3);
  // Constructs, then Reset(salt, key, 0).
  ShaPad3(int l1, int l2, int l3, const std::string& salt, const std::string& key);

  // Resets key k (1..3) with a = salt | pad constant k and b = key, all
  // three at `offset`. Requires: offset >= 0.
  void Reset(const std::string& salt, const std::string& key, int64_t offset);
  // XORs `n` bytes with the three keys in one pass; each key advances by n.
  void Apply(void* data, int64_t n);
  // The same from `in` to `out` (which may be `in`); `in` is not changed.
  void ApplyTo(void* out, const void* in, int64_t n);

  // L1 * L2 * L3: the number of bytes after which the keystream repeats.
  int64_t Period() const;

 private:
  ShaKey k1_, k2_, k3_;
};

// The cipher over a stream it does not own.
class ShaStream : public NonCopyable, public virtual Stream {
 public:
  // The sending-first form: nothing is read or written until the first
  // operation. Each side starts with a salt block: the write side draws its
  // own from Rng() at the first write, the read side reads the peer's.
  // Throws E_INVAL "Invalid key length" for a key length outside 1..2048 and
  // E_INVAL "Invalid salt size" for a salt size outside 1..65536. `inner` must
  // outlive the stream. Requires: the key lengths are pairwise coprime.
  ShaStream(int saltSize, Stream& inner, std::string key, int l1, int l2, int l3);
  // The form for a receiver that has already read the peer's first salt
  // block (`salt`, whose size becomes the salt size) and `offset` bytes of
  // ciphertext after it: reading continues at `offset` within the first
  // period. An offset equal to the period makes the first read start with a
  // new salt. Throws E_ILSEQ "Read position exceeds pad size" for an offset
  // beyond the period (or below 0), and the errors of the other form. The
  // write side starts with its own fresh salt.
  ShaStream(const std::string& salt, int64_t offset, Stream& inner, std::string key, int l1, int l2, int l3);
  ~ShaStream() override;

  // Reads the salt block first when a period is complete: a time-out or end
  // while the salt is incomplete returns 0 and keeps the salt bytes for the
  // next call. Then reads once, up to `length` bytes and at most to the end of
  // the period, decrypting in the caller's buffer. Returns 0 on time-out or
  // end. Errors of the inner stream pass through.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // Encrypts into the stream's own 131072-byte buffer (the caller's memory
  // is not changed) and sends everything before returning, one inner write
  // per full buffer and one for the rest. Each period starts with a salt
  // drawn from Rng() and sent in clear before its ciphertext. An empty list
  // sends nothing, not even a salt. After a failed Writev the two ends are
  // out of step, so every later Writev throws E_IO "Cipher stream is out of
  // step after a failed write".
  void Writev(const Iovec* iov, int count) override;
  void Flush() override;
  void Stop() override;

  int64_t Period() const { return period_; }

 protected:
  // Sends the first `n` bytes of the write buffer (salts and ciphertext,
  // ready for the wire) with one inner write.
  void WriteBuf(int64_t n);

 private:
  Stream& inner_;
  const std::string key_;  // constant after construction; shared by both sides
  const int saltSize_;
  const int64_t period_;

  // Read side: the reading thread only.
  ShaPad3 readPad_;
  int64_t readLeft_ = 0;  // bytes left in the current read period
  std::string salt_;      // the salt block being received
  int saltReceived_ = 0;

  // Write side: the writing thread only.
  ShaPad3 writePad_;
  int64_t writeLeft_ = 0;  // bytes left in the current write period
  std::unique_ptr<uint8_t[]> writeBuffer_;
  bool writeBroken_ = false;
};

// A ShaStream that owns the stream it wraps and destroys it with itself.
class ShaStream2 : public ShaStream {
 public:
  // As the sending-first form of ShaStream. Requires: inner is not null.
  ShaStream2(int saltSize, std::unique_ptr<Stream> inner, std::string key, int l1, int l2, int l3);
  ~ShaStream2() override;

 private:
  std::unique_ptr<Stream> owned_;
};

}  // namespace OST
