// CRC-16/AUG-CCITT (polynomial 0x1021, initial value 0x1D0F, most significant
// bit first, no reflection, no final XOR) and a stream wrapper that keeps one
// such checksum over the bytes read and one over the bytes written. The
// handshake record is protected with it.
//
// Thread contract: a Crc16 is used by one thread at a time. A CrcStream's
// read side and write side are independent (one reader and one writer may
// run at once); Stop is safe from any thread.
#pragma once

#include <cstdint>

#include "core/stream.h"

namespace OST {

class Crc16 {
 public:
  static constexpr uint16_t kInitial = 0x1D0F;

  Crc16() = default;
  // Starts and feeds `length` bytes.
  Crc16(const void* data, int64_t length) { Write(data, length); }

  // Feeds `length` bytes (nothing for length <= 0).
  void Write(const void* data, int64_t length);
  // The current register; 0xE5CC after the nine bytes "123456789".
  uint16_t Value() const { return value_; }

 private:
  uint16_t value_ = kInitial;
};

// Forwards every operation to `inner` and checksums the bytes that pass.
class CrcStream : public NonCopyable, public virtual Stream {
 public:
  // `inner` must outlive the wrapper.
  explicit CrcStream(Stream& inner) : inner_(inner) {}

  // Checksum of every byte returned by ReadTimed so far.
  uint16_t ReadCrc() const { return read_.Value(); }
  // Checksum of every byte accepted by Writev so far.
  uint16_t WriteCrc() const { return write_.Value(); }

  // Forwards with the resolved time-out; checksums the bytes returned.
  // Errors of the inner stream pass through.
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // Forwards the whole list, then checksums every element in order. A failed
  // inner write leaves the checksum unchanged.
  void Writev(const Iovec* iov, int count) override;
  void Flush() override;
  void Stop() override;

 private:
  Stream& inner_;
  Crc16 read_;   // reader's thread only
  Crc16 write_;  // writer's thread only
};

}  // namespace OST
