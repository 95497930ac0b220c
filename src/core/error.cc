#include "core/error.h"

#include <cerrno>
#include <cstring>

#include "core/serialize.h"

namespace OST {
namespace {

struct CodeRow {
  uint32_t code;
  const char* name;
  int errnoValue;  // what Error::Errno gives
};

// The code table: name and errno of every code.
constexpr CodeRow kCodes[] = {
    {E_OK, "E_OK", EOVERFLOW},
    {E_PERM, "E_PERM", EPERM},
    {E_NOENT, "E_NOENT", ENOENT},
    {E_SRCH, "E_SRCH", ESRCH},
    {E_INTR, "E_INTR", EINTR},
    {E_IO, "E_IO", EIO},
    {E_NXIO, "E_NXIO", ENXIO},
    {E_2BIG, "E_2BIG", E2BIG},
    {E_NOEXEC, "E_NOEXEC", ENOEXEC},
    {E_BADF, "E_BADF", EBADF},
    {E_AGAIN, "E_AGAIN", EAGAIN},
    {E_NOMEM, "E_NOMEM", ENOMEM},
    {E_ACCES, "E_ACCES", EACCES},
    {E_FAULT, "E_FAULT", EFAULT},
    {E_BUSY, "E_BUSY", EBUSY},
    {E_EXIST, "E_EXIST", EEXIST},
    {E_XDEV, "E_XDEV", EXDEV},
    {E_NODEV, "E_NODEV", ENODEV},
    {E_INVAL, "E_INVAL", EINVAL},
    {E_MFILE, "E_MFILE", EMFILE},
    {E_FBIG, "E_FBIG", EFBIG},
    {E_NOSPC, "E_NOSPC", ENOSPC},
    {E_SEEK, "E_SEEK", ESPIPE},
    {E_ROFS, "E_ROFS", EROFS},
    {E_MLINK, "E_MLINK", EMLINK},
    {E_PIPE, "E_PIPE", EPIPE},
    {E_RANGE, "E_RANGE", ERANGE},
    {E_NOMSG, "E_NOMSG", ENOMSG},
    {E_DEADLK, "E_DEADLK", EDEADLK},
    {E_NOLCK, "E_NOLCK", ENOLCK},
    {E_NOSYS, "E_NOSYS", ENOSYS},
    {E_ILSEQ, "E_ILSEQ", EILSEQ},
    {E_NOTEMPTY, "E_NOTEMPTY", ENOTEMPTY},
    {E_TOOLONG, "E_TOOLONG", ENAMETOOLONG},
    {E_MSGSIZE, "E_MSGSIZE", EMSGSIZE},
    {E_OPNOTSUPP, "E_OPNOTSUPP", EOPNOTSUPP},
    {E_CONNRESET, "E_CONNRESET", ECONNRESET},
    {E_NOBUFS, "E_NOBUFS", ENOBUFS},
    {E_AFNOSUPPORT, "E_AFNOSUPPORT", EAFNOSUPPORT},
    {E_EPROTOTYPE, "E_EPROTOTYPE", EPROTOTYPE},
    {E_NOTSOCK, "E_NOTSOCK", ENOTSOCK},
    {E_ENOPROTOOPT, "E_ENOPROTOOPT", ENOPROTOOPT},
    {E_PROTONOSUPPORT, "E_PROTONOSUPPORT", EPROTONOSUPPORT},
    {E_ADDRNOTAVAIL, "E_ADDRNOTAVAIL", EADDRNOTAVAIL},
    {E_NETRESET, "E_NETRESET", ENETRESET},
    {E_ISCONN, "E_ISCONN", EISCONN},
    {E_NOTCONN, "E_NOTCONN", ENOTCONN},
    {E_INPROGRESS, "E_INPROGRESS", EINPROGRESS},
    {E_ALREADY, "E_ALREADY", EALREADY},
    {E_DESTADDRREQ, "E_DESTADDRREQ", EDESTADDRREQ},
    {E_CONNREFUSED, "E_CONNREFUSED", ECONNREFUSED},
    {E_ADDRINUSE, "E_ADDRINUSE", EADDRINUSE},
    {E_CONNABORTED, "E_CONNABORTED", ECONNABORTED},
    {E_NETUNREACH, "E_NETUNREACH", ENETUNREACH},
    {E_NETDOWN, "E_NETDOWN", ENETDOWN},
    {E_TIMEDOUT, "E_TIMEDOUT", ETIMEDOUT},
    {E_EHOSTUNREACH, "E_EHOSTUNREACH", EHOSTUNREACH},
    {E_PARSE, "E_PARSE", EOVERFLOW},
    {E_OVER, "E_OVER", EOVERFLOW},
};

const CodeRow* FindCode(uint32_t code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

struct ErrnoRow {
  int value;
  const char* name;
  uint32_t code;
};

// Every errno value with a name; keyed by the symbolic constant, so the
// table holds whatever the platform's numbering.
constexpr ErrnoRow kErrnos[] = {
    {EPERM, "EPERM", E_PERM},
    {ENOENT, "ENOENT", E_NOENT},
    {ESRCH, "ESRCH", E_SRCH},
    {EINTR, "EINTR", E_INTR},
    {EIO, "EIO", E_IO},
    {ENXIO, "ENXIO", E_NXIO},
    {E2BIG, "E2BIG", E_2BIG},
    {ENOEXEC, "ENOEXEC", E_NOEXEC},
    {EBADF, "EBADF", E_BADF},
    {ECHILD, "ECHILD", E_OVER},
    {EDEADLK, "EDEADLK", E_DEADLK},
    {ENOMEM, "ENOMEM", E_NOMEM},
    {EACCES, "EACCES", E_ACCES},
    {EFAULT, "EFAULT", E_FAULT},
    {EBUSY, "EBUSY", E_BUSY},
    {EEXIST, "EEXIST", E_EXIST},
    {EXDEV, "EXDEV", E_XDEV},
    {ENODEV, "ENODEV", E_NODEV},
    {ENOTDIR, "ENOTDIR", E_NOENT},
    {EISDIR, "EISDIR", E_NOENT},
    {EINVAL, "EINVAL", E_INVAL},
    {ENFILE, "ENFILE", E_OVER},
    {EMFILE, "EMFILE", E_MFILE},
    {ENOTTY, "ENOTTY", E_INVAL},
    {ETXTBSY, "ETXTBSY", E_OVER},
    {EFBIG, "EFBIG", E_FBIG},
    {ENOSPC, "ENOSPC", E_NOSPC},
    {ESPIPE, "ESPIPE", E_SEEK},
    {EROFS, "EROFS", E_ROFS},
    {EMLINK, "EMLINK", E_MLINK},
    {EPIPE, "EPIPE", E_PIPE},
    {EDOM, "EDOM", E_RANGE},
    {ERANGE, "ERANGE", E_RANGE},
    {EAGAIN, "EAGAIN", E_AGAIN},
    {EINPROGRESS, "EINPROGRESS", E_INPROGRESS},
    {EALREADY, "EALREADY", E_ALREADY},
    {ENOTSOCK, "ENOTSOCK", E_NOTSOCK},
    {EDESTADDRREQ, "EDESTADDRREQ", E_DESTADDRREQ},
    {EMSGSIZE, "EMSGSIZE", E_MSGSIZE},
    {EPROTOTYPE, "EPROTOTYPE", E_EPROTOTYPE},
    {ENOPROTOOPT, "ENOPROTOOPT", E_ENOPROTOOPT},
    {EPROTONOSUPPORT, "EPROTONOSUPPORT", E_PROTONOSUPPORT},
    {EAFNOSUPPORT, "EAFNOSUPPORT", E_AFNOSUPPORT},
    {EADDRINUSE, "EADDRINUSE", E_ADDRINUSE},
    {EADDRNOTAVAIL, "EADDRNOTAVAIL", E_ADDRNOTAVAIL},
    {ENETDOWN, "ENETDOWN", E_NETDOWN},
    {ENETUNREACH, "ENETUNREACH", E_NETUNREACH},
    {ENETRESET, "ENETRESET", E_NETRESET},
    {ECONNABORTED, "ECONNABORTED", E_CONNABORTED},
    {ECONNRESET, "ECONNRESET", E_CONNRESET},
    {ENOBUFS, "ENOBUFS", E_NOBUFS},
    {EISCONN, "EISCONN", E_ISCONN},
    {ENOTCONN, "ENOTCONN", E_NOTCONN},
    {ETIMEDOUT, "ETIMEDOUT", E_TIMEDOUT},
    {ECONNREFUSED, "ECONNREFUSED", E_CONNREFUSED},
    {ELOOP, "ELOOP", E_OVER},
    {ENAMETOOLONG, "ENAMETOOLONG", E_TOOLONG},
    {EHOSTUNREACH, "EHOSTUNREACH", E_EHOSTUNREACH},
    {ENOTEMPTY, "ENOTEMPTY", E_NOTEMPTY},
    {ENOLCK, "ENOLCK", E_NOLCK},
    {ENOSYS, "ENOSYS", E_NOSYS},
    {EOVERFLOW, "EOVERFLOW", E_OVER},
    {EIDRM, "EIDRM", E_OVER},
    {ENOMSG, "ENOMSG", E_NOMSG},
    {EILSEQ, "EILSEQ", E_ILSEQ},
    {EBADMSG, "EBADMSG", E_OVER},
    {ENODATA, "ENODATA", E_OVER},
    {ENOLINK, "ENOLINK", E_OVER},
    {ENOSR, "ENOSR", E_OVER},
    {ENOSTR, "ENOSTR", E_OVER},
    {ETIME, "ETIME", E_OVER},
    {EOPNOTSUPP, "EOPNOTSUPP", E_OPNOTSUPP},
};

const ErrnoRow* FindErrno(int value) {
  for (const ErrnoRow& row : kErrnos) {
    if (row.value == value) return &row;
  }
  return nullptr;
}

constexpr uint32_t kMaxWirePairBytes = 65535;

void AppendSerialized(std::string& out, std::string_view bytes) {
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  const char le[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 24)};
  out.append(le, 4);
  out.append(bytes);
}

// Reads one serialized byte string at `pos`; false when the bytes are cut short.
bool TakeSerialized(std::string_view bytes, size_t& pos, std::string* out) {
  if (bytes.size() - pos < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
  const uint32_t n = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  if (bytes.size() - pos - 4 < n) return false;
  if (out != nullptr) out->assign(bytes.data() + pos + 4, n);
  pos += 4 + n;
  return true;
}

// Length of the longest prefix of `pairs` made of whole pairs that fits in `limit`.
size_t WholePairsPrefix(std::string_view pairs, size_t limit) {
  size_t pos = 0;
  size_t whole = 0;
  while (pos < pairs.size()) {
    if (!TakeSerialized(pairs, pos, nullptr) || !TakeSerialized(pairs, pos, nullptr)) break;
    if (pos > limit) break;
    whole = pos;
  }
  return whole;
}

}  // namespace

Error::Error(uint32_t code, std::string text) : details_(std::make_unique<Details>()) {
  details_->code = code;
  details_->text = std::move(text);
}

Error::Error(const Error& other) noexcept : std::exception(other), details_(std::move(other.details_)) {}

Error::~Error() = default;

Error& Error::Add(const char* name, std::string_view value) {
  if (!details_) details_ = std::make_unique<Details>();
  AppendSerialized(details_->pairs, name);
  AppendSerialized(details_->pairs, value);
  return *this;
}

Error& Error::AddIn(const char* file, int line, const char* function) {
  std::string place(file);
  place += ':';
  place += std::to_string(line);
  place += ':';
  place += function;
  return Add("in", place);
}

std::vector<std::pair<std::string, std::string>> Error::Pairs() const {
  std::vector<std::pair<std::string, std::string>> result;
  if (!details_) return result;
  const std::string_view bytes = details_->pairs;
  size_t pos = 0;
  while (pos < bytes.size()) {
    std::pair<std::string, std::string> pair;
    if (!TakeSerialized(bytes, pos, &pair.first) || !TakeSerialized(bytes, pos, &pair.second)) {
      OST_THROW(Error(E_PIPE, "End of stream reached"));
    }
    result.push_back(std::move(pair));
  }
  return result;
}

uint32_t Error::Code() const { return details_ ? details_->code : E_OK; }

std::string Error::Text() const { return details_ ? details_->text : std::string(); }

const char* Error::what() const noexcept { return details_ ? details_->text.c_str() : ""; }

std::string Error::FullText(char separator) const {
  std::string out = "Code: " + CodeText(Code());
  out += separator;
  out += " Text: \"";
  out += details_ ? details_->text : std::string();
  out += '"';
  if (!details_) return out;
  // Decoded here rather than through Pairs() so that a malformed tail of
  // pairs received from a peer never makes logging throw.
  const std::string_view bytes = details_->pairs;
  size_t pos = 0;
  std::string name, value;
  while (pos < bytes.size() && TakeSerialized(bytes, pos, &name) && TakeSerialized(bytes, pos, &value)) {
    out += separator;
    out += ' ';
    out += name;
    out += ": \"";
    out += value;
    out += '"';
  }
  return out;
}

int Error::Errno() const {
  const CodeRow* row = FindCode(Code());
  return row ? row->errnoValue : EOVERFLOW;
}

std::string Error::CodeText(uint32_t code) {
  const CodeRow* row = FindCode(code);
  return row ? row->name : "E_UNKNOWN";
}

void Error::StoreTo(ByteSink& sink) const try {
  Serializer::Store(sink, Code());
  Serializer::Store(sink, details_ ? details_->text : std::string());
  const std::string_view pairs = details_ ? std::string_view(details_->pairs) : std::string_view();
  const uint32_t count = pairs.size() <= kMaxWirePairBytes
                             ? static_cast<uint32_t>(pairs.size())
                             : static_cast<uint32_t>(WholePairsPrefix(pairs, kMaxWirePairBytes));
  Serializer::Store(sink, count);
  sink.Write(pairs.data(), count);
}
OST_TRAIL

void Error::LoadFrom(ByteSource& source) try {
  if (!details_) details_ = std::make_unique<Details>();
  Serializer::Load(source, details_->code);
  Serializer::Load(source, details_->text);
  uint32_t count = 0;
  Serializer::Load(source, count);
  if (count > kMaxWirePairBytes) {
    OST_THROW(Error(E_INVAL, "Error details are too long").Add("length", std::to_string(count)));
  }
  std::string pairs(count, '\0');
  source.Read(pairs.data(), count);
  details_->pairs = std::move(pairs);
}
OST_TRAIL

const char* ErrnoText(int value) {
  const ErrnoRow* row = FindErrno(value);
  return row ? row->name : nullptr;
}

std::string ErrnoToText(int value) {
  const char* name = ErrnoText(value);
  return name ? std::string(name) : std::to_string(value);
}

uint32_t ErrnoToCode(int value) {
  const ErrnoRow* row = FindErrno(value);
  return row ? row->code : E_OVER;
}

Error Errno(std::string text, const char* function, int value) {
  Error error(ErrnoToCode(value), std::move(text));
  error.Add("function", function);
  error.Add("errno", ErrnoToText(value));
  return error;
}

Error Errno(std::string text, const char* function) { return Errno(std::move(text), function, errno); }

void ThrowBadObjectException() { OST_THROW(Error(E_BADF, "Object doesn't exist")); }

}  // namespace OST
