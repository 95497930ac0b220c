// The two published primitives of the secure link: SHA-256 (FIPS 180-4) and
// X25519 (RFC 7748), both computed by libsodium behind these small functions
// so that the rest of the link never calls the library directly.
//
// Thread contract: pure functions; a Sha256Context is used by one thread at a
// time.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>

namespace OST {

inline constexpr int kSha256Size = 32;
inline constexpr int kX25519Size = 32;

// The u-coordinate 9 of the standard base point, little-endian.
extern const uint8_t kX25519BasePoint[kX25519Size];

// Makes sure the library is initialised; cheap after the first call. Throws
// E_FAULT "Could not initialise the crypto library" when it cannot be.
void CryptoInit();

// SHA-256 of `length` bytes into `out` (32 bytes).
void sha256(const void* data, size_t length, uint8_t* out);

// Incremental SHA-256: init, any number of updates, final. A context may be
// copied to continue two hashes from a common prefix.
using Sha256Context = crypto_hash_sha256_state;
void sha256_init(Sha256Context& context);
void sha256_update(Sha256Context& context, const void* data, size_t length);
// Writes the 32-byte digest; the context must be initialised again for reuse.
void sha256_final(Sha256Context& context, uint8_t* out);

// X25519(scalar, point) into `out`, all 32 bytes; the scalar is clamped as
// RFC 7748 specifies. A point of small order gives an all-zero value that
// would make the shared key public: throws E_INVAL "Peer public key is a
// low-order point".
void x25519(uint8_t* out, const uint8_t* scalar, const uint8_t* point);
// X25519(scalar, base point): the public key of a private key.
void x25519_base(uint8_t* out, const uint8_t* scalar);

}  // namespace OST
