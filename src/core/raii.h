// RaiiValue<T>: move-only owner of one host handle (a descriptor, a DIR*, a
// resolver result) with its release function.
//
// Release() does nothing for the "no handle" value; otherwise it clears the
// value first and then calls the release function, letting its Error pass.
// The destructor releases, logs a failure ("Error: {}", category 123) and
// never throws. Thread contract: one thread at a time.
#pragma once

#include <utility>

#include "core/error.h"
#include "core/log.h"

namespace OST {

template <typename T>
class RaiiValue {
 public:
  using ReleaseFunction = void (*)(T);

  RaiiValue(T value, T none, ReleaseFunction release) : value_(value), none_(none), release_(release) {}
  RaiiValue(RaiiValue&& other) noexcept
      : value_(std::exchange(other.value_, other.none_)), none_(other.none_), release_(other.release_) {}
  RaiiValue& operator=(RaiiValue&& other) {
    if (this != &other) {
      Release();
      value_ = std::exchange(other.value_, other.none_);
      none_ = other.none_;
      release_ = other.release_;
    }
    return *this;
  }
  RaiiValue(const RaiiValue&) = delete;
  RaiiValue& operator=(const RaiiValue&) = delete;

  ~RaiiValue() {
    try {
      Release();
    } catch (const Error& e) {
      OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
    }
  }

  T Get() const { return value_; }
  bool Valid() const { return value_ != none_; }

  void Release() {
    if (value_ == none_) return;
    const T old = std::exchange(value_, none_);
    release_(old);
  }

 private:
  T value_;
  T none_;
  ReleaseFunction release_;
};

}  // namespace OST
