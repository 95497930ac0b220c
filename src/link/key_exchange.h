// The two short exchanges that follow the handshake on a new connection,
// both run through the set-up cipher and called on both sides in this
// order: first the replay check, then the key agreement.
//
// The replay check makes each side echo a fresh random challenge of the
// other, so a recorded conversation played back cannot pass. The key
// agreement is an X25519 exchange with fresh key pairs; the connection key
// is then the configured secret followed by the agreed 32 bytes.
//
// Thread contract: each call runs on the thread that owns the connection and
// keeps no state beyond the call.
#pragma once

#include <cstdint>
#include <string>

#include "core/stream.h"

namespace OST {

inline constexpr int kChallengeSize = 32;
inline constexpr int kSharedKeySize = 32;
// The byte that, repeated 32 times, forms the null-key marker.
inline constexpr uint8_t kNullKeyByte = 0xA7;

// The null-key marker: a public key that selects no agreement at all.
std::string NullKeyMarker();

// Writes a fresh 32-byte challenge, reads the peer's, echoes it, and reads
// the echo of the own challenge. Throws E_INVAL "Replay connection check
// failed" when the echo differs; E_PIPE "End of stream reached" when the
// stream ends or times out.
void AntiReplayAttackCheck(Stream& s);

// Writes a fresh X25519 public key, reads the peer's, and returns the raw
// 32-byte shared value (not hashed). A peer key equal to the null-key marker
// returns the marker itself. Throws E_INVAL "Peer public key is a low-order
// point" for a peer key that would give an all-zero value, and E_PIPE "End
// of stream reached" when the stream ends or times out.
std::string NegotiateSharedKey(Stream& s);

}  // namespace OST
