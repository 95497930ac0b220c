#include "io/string_writer.h"

namespace OST {

void StringWriter::Writev(const Iovec* iov, int count) {
  for (int i = 0; i < count; ++i) {
    if (iov[i].length <= 0) continue;
    target_.append(static_cast<const char*>(iov[i].data), iov[i].length);
    written_ += iov[i].length;
  }
}

}  // namespace OST
