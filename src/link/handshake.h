// The connection handshake: after the TCP connect, each side proves that it
// holds the shared secret and says who it is.
//
// Both sides send, through their set-up cipher (a ShaStream keyed with the
// secret), the 48-byte preamble and then a handshake record:
//
//   offset width field
//    0      4    endian mark 11 22 33 44
//    4      8    version 1010
//   12      1    role: 0 connecting side, 1 accepting side
//   13      8    the sender's node id
//   21      4    the sender's hop count
//   25      2    number of extra entries (0 when sending)
//   27      ...  extra entries: uint16 size, then that many bytes
//   end     2    CRC-16 of every record byte before it
//
// Integers are little-endian. A receiver that decrypts the preamble with the
// right key sees exactly the preamble's bytes, which is how keys are
// recognised; the CRC catches records that a wrong key or noise garbled.
//
// Thread contract: a handshake runs on the thread that owns the connection;
// nothing here is shared.
#pragma once

#include <cstdint>
#include <string>

#include "core/stream.h"
#include "core/typed_int.h"

namespace OST {

inline constexpr int kPreambleSize = 48;
// The preamble's 48 bytes (the array adds a terminating zero that is never sent).
inline constexpr char kPreamble[kPreambleSize + 1] = "01234567890123456789LINKAGE!01234567890123456789";
inline constexpr uint8_t ENDIAN_MARK[4] = {0x11, 0x22, 0x33, 0x44};
inline constexpr uint64_t kHandshakeVersion = 1010;
inline constexpr uint8_t kRoleConnecting = 0;
inline constexpr uint8_t kRoleAccepting = 1;
// A record as sent, without the preamble: 27 bytes and the CRC.
inline constexpr int kHandshakeRecordSize = 29;
// The read time-out of a connection during set-up.
inline constexpr TimeoutMs kSetupReadTimeout{16000};

// True when the 48 bytes at `data` are the preamble (compared in constant time).
bool IsPreamble(const void* data);

// Key recognition on the accepting side: decrypts a copy of the first 48
// ciphertext bytes with a pad of the set-up lengths keyed with (salt, key)
// and tells whether they are the preamble. Requires: 48 bytes at `ciphertext`.
bool PreambleMatchesKey(const std::string& salt, const void* ciphertext, const std::string& key);

// A received handshake record, as the receiver keeps it.
struct Handshake {
  uint64_t id = 0;
  uint32_t hops = 0;

  // Writes the preamble and a record with the given role, id and hops, no
  // extras. Errors of the stream pass through.
  static void Send(Stream& stream, uint8_t role, uint64_t id, uint32_t hops);

  // Reads a record (not the preamble, which the caller has consumed) and
  // keeps id and hops. Checks, in this order:
  //   endian mark     E_INVAL "Unsupported peer endian" (detail `endian`)
  //   CRC             E_INVAL "Received handshake checksum mismatch"
  //   version 1010    E_NOSYS "Unsupported protocol version"
  //   role == `role`  E_INVAL "Invalid peer role"
  // Extra entries are read, checksummed and discarded. A stream that ends or
  // times out inside the record fails with E_PIPE "End of stream reached".
  Handshake(Stream& stream, uint8_t role);
};

}  // namespace OST
