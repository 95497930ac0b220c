#include "link/handshake.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "core/log.h"
#include "core/serialize.h"
#include "core/text.h"
#include "io/string_writer.h"
#include "link/crc.h"
#include "link/shastream.h"

namespace OST {
namespace {
constexpr int kLogHandshake = 120;
}  // namespace

bool IsPreamble(const void* data) { return sodium_memcmp(data, kPreamble, kPreambleSize) == 0; }

bool PreambleMatchesKey(const std::string& salt, const void* ciphertext, const std::string& key) try {
  uint8_t copy[kPreambleSize];
  std::memcpy(copy, ciphertext, kPreambleSize);
  ShaPad3 pad(kSetupCipher.l1, kSetupCipher.l2, kSetupCipher.l3, salt, key);
  pad.Apply(copy, kPreambleSize);
  return IsPreamble(copy);
}
OST_TRAIL

void Handshake::Send(Stream& stream, uint8_t role, uint64_t id, uint32_t hops) try {
  OST_LOG(kLogHandshake, "Sending handshake");
  stream.Write(kPreamble, kPreambleSize);
  // The record goes out in one write rather than one per field: the bytes on
  // the wire are the same, the packets fewer.
  std::string record;
  StringWriter writer(record);
  writer.Write(ENDIAN_MARK, sizeof ENDIAN_MARK);
  Serializer::Store(writer, kHandshakeVersion);
  Serializer::Store(writer, role);
  Serializer::Store(writer, id);
  Serializer::Store(writer, hops);
  Serializer::Store(writer, uint16_t{0});
  CrcStream checked(stream);
  checked.Write(record.data(), static_cast<int64_t>(record.size()));
  Serializer::Store(stream, checked.WriteCrc());
  OST_LOG(kLogVerbose2, "Sent handshake ver={} id={} hops={} extra={}", kHandshakeVersion, HexToString(id, false),
          hops, 0);
}
OST_TRAIL

Handshake::Handshake(Stream& stream, uint8_t role) try {
  OST_LOG(kLogHandshake, "Receiving handshake");
  CrcStream checked(stream);
  uint8_t mark[4];
  checked.Read(mark, sizeof mark);
  if (std::memcmp(mark, ENDIAN_MARK, sizeof mark) != 0) {
    const uint32_t value = uint32_t{mark[0]} | uint32_t{mark[1]} << 8 | uint32_t{mark[2]} << 16 |
                           uint32_t{mark[3]} << 24;
    OST_THROW(Error(E_INVAL, "Unsupported peer endian").Add("endian", HexToString(value, true)));
  }
  uint64_t version = 0;
  uint8_t receivedRole = 0;
  uint16_t extras = 0;
  Serializer::Load(checked, version);
  Serializer::Load(checked, receivedRole);
  Serializer::Load(checked, id);
  Serializer::Load(checked, hops);
  Serializer::Load(checked, extras);
  char discard[4096];
  for (uint16_t i = 0; i < extras; ++i) {
    uint16_t size = 0;
    Serializer::Load(checked, size);
    for (int64_t left = size; left > 0;) {
      const int64_t n = std::min<int64_t>(left, sizeof discard);
      checked.Read(discard, n);
      left -= n;
    }
  }
  uint16_t crc = 0;
  Serializer::Load(stream, crc);
  if (crc != checked.ReadCrc()) OST_THROW(Error(E_INVAL, "Received handshake checksum mismatch"));
  OST_LOG(kLogVerbose2, "Received handshake ver={} id={} hops={} extras={}", version, HexToString(id, false), hops,
          extras);
  if (version != kHandshakeVersion) OST_THROW(Error(E_NOSYS, "Unsupported protocol version"));
  if (receivedRole != role) OST_THROW(Error(E_INVAL, "Invalid peer role"));
}
OST_TRAIL

}  // namespace OST
