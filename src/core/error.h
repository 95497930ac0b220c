// Error: the one exception type of the program.
//
// An Error carries a code from the program's code table, a text, and an
// ordered list of named detail pairs. The throw site adds its details and an
// `in` pair naming the place; every function the error passes through adds
// its own `in` pair, so a logged error shows its call path innermost first.
//
// Use the macros at the end of this file rather than writing places by hand:
//
//   OST_THROW(Error(E_NOENT, "Path not found").Add("path", text));
//
//   Stat Foo::GetStat(const Path& path) try {
//     ...
//   } OST_TRAIL
//
// Thread contract: an Error is owned by one thread at a time.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/stream.h"

namespace OST {

enum ErrorCode : uint32_t {
  E_OK = 0,
  E_PERM = 1001,
  E_NOENT = 1002,
  E_SRCH = 1003,
  E_INTR = 1004,
  E_IO = 1005,
  E_NXIO = 1006,
  E_2BIG = 1007,
  E_NOEXEC = 1008,
  E_BADF = 1009,
  E_AGAIN = 1010,
  E_NOMEM = 1011,
  E_ACCES = 1012,
  E_FAULT = 1013,
  E_BUSY = 1014,
  E_EXIST = 1015,
  E_XDEV = 1016,
  E_NODEV = 1017,
  E_INVAL = 1018,
  E_MFILE = 1019,
  E_FBIG = 1020,
  E_NOSPC = 1021,
  E_SEEK = 1022,
  E_ROFS = 1023,
  E_MLINK = 1024,
  E_PIPE = 1025,
  E_RANGE = 1026,
  E_NOMSG = 1027,
  E_DEADLK = 1028,
  E_NOLCK = 1029,
  E_NOSYS = 1030,
  E_ILSEQ = 1031,
  E_NOTEMPTY = 1032,
  E_TOOLONG = 1033,
  E_MSGSIZE = 1034,
  E_OPNOTSUPP = 2001,
  E_CONNRESET = 2002,
  E_NOBUFS = 2003,
  E_AFNOSUPPORT = 2004,
  E_EPROTOTYPE = 2005,
  E_NOTSOCK = 2006,
  E_ENOPROTOOPT = 2007,
  E_PROTONOSUPPORT = 2008,
  E_ADDRNOTAVAIL = 2009,
  E_NETRESET = 2010,
  E_ISCONN = 2011,
  E_NOTCONN = 2012,
  E_INPROGRESS = 2013,
  E_ALREADY = 2014,
  E_DESTADDRREQ = 2015,
  E_CONNREFUSED = 2016,
  E_ADDRINUSE = 2017,
  E_CONNABORTED = 2018,
  E_NETUNREACH = 2019,
  E_NETDOWN = 2020,
  E_TIMEDOUT = 2021,
  E_EHOSTUNREACH = 2022,
  E_PARSE = 3001,
  E_OVER = 9999,
};

class Error : public std::exception, public virtual Serializable {
 public:
  // A new error with no detail pairs.
  Error(uint32_t code, std::string text);

  // Copying moves the details into the new object; the source keeps no
  // details and may only be destroyed. (Every throw copies a local Error.)
  Error(const Error& other) noexcept;
  Error& operator=(const Error&) = delete;
  ~Error() override;

  // Appends the pair at the end and returns this error, so calls chain.
  Error& Add(const char* name, std::string_view value);
  // Appends the pair `in` = "file:line:function".
  Error& AddIn(const char* file, int line, const char* function);

  // All pairs in the order they were added. Throws E_PIPE "End of stream
  // reached" when the stored pair bytes are cut short (an error read from
  // the wire).
  std::vector<std::pair<std::string, std::string>> Pairs() const;

  uint32_t Code() const;
  std::string Text() const;
  const char* what() const noexcept override;

  // One-line rendering for logs: Code: NAME<sep> Text: "..."<sep> name: "value"...
  std::string FullText(char separator) const;

  // The POSIX errno value for the code; EOVERFLOW for codes without one.
  int Errno() const;

  // The name of a code ("E_NOENT"); "E_UNKNOWN" for codes not in the table.
  static std::string CodeText(uint32_t code);

  // Wire form: code, text, pair byte count (at most 65535, whole pairs
  // only), pair bytes.
  void StoreTo(ByteSink& sink) const override;
  // Replaces code, text and pairs; the pairs change only once all their
  // bytes have arrived and were found to be whole pairs.
  void LoadFrom(ByteSource& source) override;

 private:
  struct Details {
    uint32_t code = E_OK;
    std::string text;
    std::string pairs;  // name and value of each pair, each as a serialized byte string
  };
  // mutable: copying a const Error moves the details (see the copy constructor).
  mutable std::unique_ptr<Details> details_;
};

// The symbolic name of an errno value ("ENOENT"), or nullptr when it has none.
const char* ErrnoText(int value);
// The symbolic name, or the value in decimal.
std::string ErrnoToText(int value);
// The program's code for an errno value; E_OVER for anything not listed.
uint32_t ErrnoToCode(int value);

// The error of a failed system call: code from the errno value, the text,
// then the pairs `function` and `errno`.
Error Errno(std::string text, const char* function, int value);
// The same with the calling thread's current errno; call it right after the
// failed call.
Error Errno(std::string text, const char* function);

// Throws E_BADF "Object doesn't exist" (a revoked Link).
[[noreturn]] void ThrowBadObjectException();

}  // namespace OST

// Adds the throw site's `in` pair and throws a copy of the error.
#define OST_THROW(error_expr) throw (error_expr).AddIn(__FILE_NAME__, __LINE__, __func__)

// Closes a function-try-block: an Error passing through gains this
// function's `in` pair and is rethrown unchanged otherwise.
#define OST_TRAIL                                    \
  catch (::OST::Error & ost_trail_error_) {          \
    ost_trail_error_.AddIn(__FILE_NAME__, __LINE__, __func__); \
    throw;                                           \
  }
