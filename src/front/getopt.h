// GetOpt: a small single-letter option parser.
//
// Flags combine ("-fvv"); an option that takes a value (":" after its letter)
// takes the rest of its argument ("-cfile.json") or else the next argument
// that does not begin with '-' ("-c -f config.json" gives -f first, then
// config.json to -c). Each option reaches ProcessOption in order.
// Thread contract: one thread at a time.
#pragma once

#include "core/interface.h"

namespace OST {

class GetOpt : public virtual Interface {
 public:
  // `ch` is the letter, or 0 for an argument that is not an option; `value`
  // is the option's value, the non-option argument, or nullptr.
  virtual void ProcessOption(char ch, const char* value) = 0;

  // Throws E_INVAL "Long options are not supported", "Unexpected option"
  // (detail `option`) or "Missing value for option" (detail `option`).
  void Parse(int argc, const char* const* argv, const char* options);
};

}  // namespace OST
