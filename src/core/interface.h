// Base classes shared by every interface and implementation of the program.
//
// Interfaces derive virtually from Interface; objects that own resources
// derive from NonCopyable. Thread contract: none (no state).
#pragma once

namespace OST {

class Interface {
 public:
  virtual ~Interface() = default;
};

class NonCopyable {
 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;

 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;
};

}  // namespace OST
