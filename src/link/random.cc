#include "link/random.h"

#include <sodium.h>

#include "core/error.h"
#include "link/crypto.h"

namespace OST {

Random::Random() try { CryptoInit(); }
OST_TRAIL

std::string Random::RandomString(int64_t n) try {
  std::string bytes(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  GetRandomBytes(bytes.data(), n);
  return bytes;
}
OST_TRAIL

void Random::GetRandomBytes(void* buffer, int64_t n) {
  if (n <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  randombytes_buf(buffer, static_cast<size_t>(n));
}

Random& Rng() {
  // Deliberately leaked: detached threads may draw bytes during exit.
  static Random* const rng = new Random();
  return *rng;
}

namespace {
// Created before main, so a process whose generator cannot be set up does
// not start.
[[maybe_unused]] Random& rngAtStart = Rng();
}  // namespace

}  // namespace OST
