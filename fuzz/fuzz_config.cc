// Fuzz target for the JSON reader and the configuration parser: any input
// must end in a parsed Config or in an Error (or a reader failure for the
// generic walk), never in a crash, a hang or another exception.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/json.h"
#include "core/error.h"

namespace {

// Parses every member and element, however deep, as far as the reader allows.
void Walk(OST::buffer_context& context, const OST::JsonValue& value) {
  if (value.kind == OST::JSON_OBJECT) {
    OST::ReadObject(context, [&](const std::string&, const OST::JsonValue& v) { Walk(context, v); });
  } else if (value.kind == OST::JSON_ARRAY) {
    OST::ReadArray(context, [&](const OST::JsonValue& v) { Walk(context, v); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    OST::ParseConfig(text);
  } catch (const OST::Error&) {
  }
  try {
    OST::buffer_context context(text);
    OST::JsonValue top;
    top.kind = OST::JSON_OBJECT;
    Walk(context, top);
  } catch (const OST::parse_error&) {
  } catch (const OST::unexpected_end&) {
  }
  return 0;
}
