#include "link/key_exchange.h"

#include <sodium.h>

#include "core/error.h"
#include "link/crypto.h"
#include "link/random.h"

namespace OST {

std::string NullKeyMarker() { return std::string(kSharedKeySize, static_cast<char>(kNullKeyByte)); }

void AntiReplayAttackCheck(Stream& s) try {
  const std::string challenge = Rng().RandomString(kChallengeSize);
  s.Write(challenge.data(), kChallengeSize);
  uint8_t peerChallenge[kChallengeSize];
  s.Read(peerChallenge, kChallengeSize);
  s.Write(peerChallenge, kChallengeSize);
  uint8_t echo[kChallengeSize];
  s.Read(echo, kChallengeSize);
  if (sodium_memcmp(echo, challenge.data(), kChallengeSize) != 0) {
    OST_THROW(Error(E_INVAL, "Replay connection check failed"));
  }
}
OST_TRAIL

std::string NegotiateSharedKey(Stream& s) try {
  uint8_t privateKey[kX25519Size];
  // The private key must not outlive the call, whatever way it ends.
  struct Wipe {
    uint8_t* key;
    ~Wipe() { sodium_memzero(key, kX25519Size); }
  } wipe{privateKey};
  Rng().GetRandomBytes(privateKey, kX25519Size);
  uint8_t publicKey[kX25519Size];
  x25519_base(publicKey, privateKey);
  s.Write(publicKey, kX25519Size);
  std::string peerKey(kX25519Size, '\0');
  s.Read(peerKey.data(), kX25519Size);
  std::string shared(kSharedKeySize, '\0');
  if (peerKey == NullKeyMarker()) {
    shared = peerKey;
  } else {
    x25519(reinterpret_cast<uint8_t*>(shared.data()), privateKey, reinterpret_cast<const uint8_t*>(peerKey.data()));
  }
  return shared;
}
OST_TRAIL
}  // namespace OST
