// StringWriter: a sink that appends to a caller-owned byte string.
// Thread contract: one thread at a time.
#pragma once

#include <string>

#include "core/stream.h"

namespace OST {

class StringWriter : public NonCopyable, public virtual SizedSink {
 public:
  // `target` must outlive the writer.
  explicit StringWriter(std::string& target) : target_(target) {}

  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}
  int64_t Written() const override { return written_; }

 private:
  std::string& target_;
  int64_t written_ = 0;
};

}  // namespace OST
