// Byte stream interfaces: every byte the program moves passes through these.
//
// A ByteSource hands out 1..n bytes within a time-out, or 0 on time-out or
// end (the two are not told apart). A ByteSink accepts a whole gather list or
// throws. Stop, from any thread, makes blocked operations return or fail.
//
// Thread contract: implementations say so; Stop is always safe from any
// thread, everything else is one thread at a time unless stated.
#pragma once

#include <cstdint>
#include <string>

#include "core/interface.h"
#include "core/typed_int.h"

namespace OST {

// One element of a gather list.
struct Iovec {
  const void* data;
  int64_t length;
};

class Stoppable : public virtual Interface {
 public:
  // Makes blocked operations of the object return or fail promptly; never
  // destroys the object. Safe from any thread.
  virtual void Stop() = 0;
};

class ByteSource : public virtual Stoppable {
 public:
  // Waits at most `timeout` (kDefaultTimeout: the source's default) and
  // returns 1..length bytes, or 0 at the end or on time-out.
  virtual int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) = 0;

  // `t`, or the stored default when `t` is kDefaultTimeout.
  TimeoutMs GetTimeout(TimeoutMs t) const;
  void SetTimeout(TimeoutMs t);
  // ReadTimed with the default time-out.
  int64_t ReadAny(void* buffer, int64_t length);
  // Reads exactly `length` bytes; a read of 0 bytes on the way throws
  // E_PIPE "End of stream reached". A length <= 0 returns at once.
  void Read(void* buffer, int64_t length);

 private:
  TimeoutMs timeout_ = kDefaultTimeout;
};

class ByteSink : public virtual Interface {
 public:
  // Accepts every byte of every element in order, or throws.
  virtual void Writev(const Iovec* iov, int count) = 0;
  virtual void Flush() = 0;

  // Writev with one element.
  void Write(const void* data, int64_t length);
};

class SizedSink : public virtual ByteSink {
 public:
  // Bytes accepted so far.
  virtual int64_t Written() const = 0;
};

class Stream : public virtual ByteSource, public virtual ByteSink {};

// A record with a binary form (see Serializer).
class Serializable : public virtual Interface {
 public:
  virtual void StoreTo(ByteSink& sink) const = 0;
  virtual void LoadFrom(ByteSource& source) = 0;
};

// Copies up to `count` bytes; fewer when the source ends. Returns the number
// copied. Moves at most 131072 bytes per read through a stack buffer.
int64_t StreamCopyAny(ByteSink& to, ByteSource& from, int64_t count);
// Copies exactly `count` bytes or throws E_PIPE "End of stream reached".
int64_t StreamCopy(ByteSink& to, ByteSource& from, int64_t count);
// Copies until the source ends.
void StreamCopy(ByteSink& to, ByteSource& from);

// "[ 4 10 ]" for elements of 4 and 10 bytes; for trace logs.
std::string IovecsToString(const Iovec* iov, int count);

}  // namespace OST
