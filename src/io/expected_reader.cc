#include "io/expected_reader.h"

#include <algorithm>

#include "core/error.h"

namespace OST {

int64_t ExpectedSizeReader::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const TimeoutMs resolved = GetTimeout(timeout);
  const int64_t limit = std::min(length, expected_);
  if (limit <= 0) return 0;
  const int64_t n = inner_.ReadTimed(buffer, limit, resolved);
  expected_ -= n;
  return n;
}
OST_TRAIL

void ExpectedSizeReader::ReadRemainingBytes() try {
  char discard[4096];
  while (expected_ > 0) {
    const int64_t piece = std::min<int64_t>(expected_, sizeof discard);
    inner_.Read(discard, piece);
    expected_ -= piece;
  }
}
OST_TRAIL

}  // namespace OST
