#include "link/crypto.h"

#include "core/error.h"

namespace OST {

const uint8_t kX25519BasePoint[kX25519Size] = {9};

void CryptoInit() try {
  // sodium_init is safe to call repeatedly and from several threads; it
  // returns 1 once the library is already set up.
  static const int result = sodium_init();
  if (result < 0) OST_THROW(Error(E_FAULT, "Could not initialise the crypto library"));
}
OST_TRAIL

void sha256(const void* data, size_t length, uint8_t* out) {
  Sha256Context context;
  sha256_init(context);
  sha256_update(context, data, length);
  sha256_final(context, out);
}

void sha256_init(Sha256Context& context) { crypto_hash_sha256_init(&context); }

void sha256_update(Sha256Context& context, const void* data, size_t length) {
  crypto_hash_sha256_update(&context, static_cast<const unsigned char*>(data), length);
}

void sha256_final(Sha256Context& context, uint8_t* out) { crypto_hash_sha256_final(&context, out); }

void x25519(uint8_t* out, const uint8_t* scalar, const uint8_t* point) try {
  CryptoInit();
  if (crypto_scalarmult(out, scalar, point) != 0) {
    OST_THROW(Error(E_INVAL, "Peer public key is a low-order point"));
  }
}
OST_TRAIL

void x25519_base(uint8_t* out, const uint8_t* scalar) try {
  CryptoInit();
  if (crypto_scalarmult_base(out, scalar) != 0) OST_THROW(Error(E_INVAL, "Invalid private key"));
}
OST_TRAIL

}  // namespace OST
