// Fuzz target for the snapshot loader: any input must load or fail with an
// Error, never crash, exhaust memory or recurse deeply; what loads must
// store to a form that loads to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/error.h"
#include "fs/snap_dir.h"
#include "io/fixed_buffer.h"
#include "io/string_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OST::FixedBufferReader source(data, static_cast<int64_t>(size));
  OST::SnapDir dir;
  try {
    dir.LoadFrom(source);
  } catch (const OST::Error&) {
    return 0;
  }
  std::string first;
  OST::StringWriter firstWriter(first);
  dir.StoreTo(firstWriter);
  OST::FixedBufferReader again(first.data(), static_cast<int64_t>(first.size()));
  OST::SnapDir reloaded(again);
  std::string second;
  OST::StringWriter secondWriter(second);
  reloaded.StoreTo(secondWriter);
  if (first != second) std::abort();
  return 0;
}
