// Random: the program's source of random bytes for the secure link (salt
// blocks, challenges, private keys). Every byte comes from the operating
// system's generator through libsodium, so none of them can be predicted
// from others that travel in clear.
//
// One instance, Rng(), serves the whole process. It exists from the first
// call, which may come during static initialisation, and is never destroyed,
// so detached threads may use it until the process ends.
//
// Thread contract: safe from any thread; calls are serialised by one lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/interface.h"

namespace OST {

class Random : public NonCopyable {
 public:
  // Initialises the system generator. Throws E_FAULT "Could not initialise
  // the crypto library" when it cannot be set up.
  Random();

  // A byte string of `n` random bytes; empty for n <= 0.
  std::string RandomString(int64_t n);
  // Fills `n` bytes at `buffer` (nothing for n <= 0).
  void GetRandomBytes(void* buffer, int64_t n);

 private:
  std::mutex mutex_;
};

// The process-wide generator; created at the first call, never destroyed.
Random& Rng();

}  // namespace OST
