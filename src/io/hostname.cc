#include "io/hostname.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "core/format.h"
#include "core/raii.h"
#include "core/text.h"

namespace OST {
namespace {

struct CodeName {
  int code;
  const char* name;
};

// The host's own values first; then the numbering that the names have on
// BSD-derived resolvers, where they are 1..10.
const CodeName kHostCodes[] = {
    {EAI_ADDRFAMILY, "EAI_ADDRFAMILY"}, {EAI_AGAIN, "EAI_AGAIN"},   {EAI_BADFLAGS, "EAI_BADFLAGS"},
    {EAI_FAIL, "EAI_FAIL"},             {EAI_FAMILY, "EAI_FAMILY"}, {EAI_MEMORY, "EAI_MEMORY"},
    {EAI_NODATA, "EAI_NODATA"},         {EAI_NONAME, "EAI_NONAME"}, {EAI_SERVICE, "EAI_SERVICE"},
    {EAI_SOCKTYPE, "EAI_SOCKTYPE"},
};
const char* const kNumberedNames[] = {"EAI_ADDRFAMILY", "EAI_AGAIN",  "EAI_BADFLAGS", "EAI_FAIL",    "EAI_FAMILY",
                                      "EAI_MEMORY",     "EAI_NODATA", "EAI_NONAME",   "EAI_SERVICE", "EAI_SOCKTYPE"};

// A port given as digits only must fit 16 bits: the C library would cut
// 99999999 down to 57599 without a word.
bool NumericPortTooLarge(const std::string& port) {
  if (port.empty()) return false;
  uint64_t value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 65535) return true;
  }
  return false;
}

// The resolver's failure, with its details in the order readers expect.
Error ResolverError(int code, const std::u32string& text, const char* file, int line, const char* function) {
  Error error(E_FAULT, "Could not resolve address");
  error.AddIn(file, line, function);
  error.Add("function", "getaddrinfo");
  error.Add("code", AddrInfoErrorCodeToString(code));
  error.Add("message", gai_strerror(code));
  error.Add("address", ToString(text));
  return error;
}

}  // namespace

std::string ToString(IpAddr addr) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (addr.value >> 24) & 0xFF, (addr.value >> 16) & 0xFF,
                (addr.value >> 8) & 0xFF, addr.value & 0xFF);
  return text;
}

void ReleaseAddrInfo(addrinfo* info) { freeaddrinfo(info); }

void SplitHostPort(const std::u32string& text, std::u32string& host, std::u32string& port) {
  const size_t colon = text.rfind(U':');
  if (colon == std::u32string::npos) {
    host = text;
    port.clear();
  } else {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
}

void HostPortToAddrPort(const std::u32string& text, IpAddr& addr, IpPort& port) try {
  std::u32string host32;
  std::u32string port32;
  SplitHostPort(text, host32, port32);
  const std::string host = string32to8(host32);
  const std::string service = string32to8(port32);
  // A NUL would silently cut the name handed to the resolver.
  if (host.find('\0') != std::string::npos || service.find('\0') != std::string::npos)
    OST_THROW(Error(E_INVAL, "Could not resolve address").Add("address", ToString(text)));
  if (NumericPortTooLarge(service)) throw ResolverError(EAI_SERVICE, text, __FILE_NAME__, __LINE__, __func__);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const int code = getaddrinfo(host.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &found);
  if (code == EAI_SYSTEM) OST_THROW(Errno("Could not resolve address", "getaddrinfo").Add("address", ToString(text)));
  if (code != 0) throw ResolverError(code, text, __FILE_NAME__, __LINE__, __func__);
  const RaiiValue<addrinfo*> result(found, nullptr, ReleaseAddrInfo);
  if (found->ai_addr == nullptr || found->ai_addrlen < sizeof(sockaddr_in) || found->ai_family != AF_INET)
    throw ResolverError(EAI_FAMILY, text, __FILE_NAME__, __LINE__, __func__);
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof address);
  addr = IpAddr(ntohl(address.sin_addr.s_addr));
  port = IpPort(ntohs(address.sin_port));
}
OST_TRAIL

void HostToAddr(const std::u32string& text, IpAddr& addr) try {
  IpPort port;
  HostPortToAddrPort(text, addr, port);
}
OST_TRAIL

std::string AddrInfoErrorCodeToString(int code) try {
  for (const CodeName& row : kHostCodes) {
    if (row.code == code) return row.name;
  }
  if (code >= 1 && code <= 10) return kNumberedNames[code - 1];
  OST_THROW(Error(E_INVAL, "Unknown getaddrinfo error code").Add("code", ToString(code)));
}
OST_TRAIL

}  // namespace OST
