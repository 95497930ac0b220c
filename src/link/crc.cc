#include "link/crc.h"

#include <array>

#include "core/error.h"

namespace OST {
namespace {

// One step of the register per possible top byte.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

void Crc16::Write(const void* data, int64_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint16_t crc = value_;
  for (int64_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
  }
  value_ = crc;
}

int64_t CrcStream::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const int64_t n = inner_.ReadTimed(buffer, length, GetTimeout(timeout));
  if (n > 0) read_.Write(buffer, n);
  return n;
}
OST_TRAIL

void CrcStream::Writev(const Iovec* iov, int count) try {
  inner_.Writev(iov, count);
  for (int i = 0; i < count; ++i) write_.Write(iov[i].data, iov[i].length);
}
OST_TRAIL

void CrcStream::Flush() try { inner_.Flush(); }
OST_TRAIL

void CrcStream::Stop() try { inner_.Stop(); }
OST_TRAIL

}  // namespace OST
