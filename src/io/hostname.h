// IPv4 addresses in text and name resolution from "host:port" text.
//
// Texts are UTF-32. A port follows the last ':' of the text; there is no
// bracket syntax, so IPv6 literals cannot be given. Resolution asks for IPv4
// TCP addresses only and takes the first answer.
//
// Thread contract: pure functions (resolution reads the host's resolver
// configuration).
#pragma once

#include <string>

#include "core/typed_int.h"

struct addrinfo;

namespace OST {

// Dotted decimal, most significant byte first: 0x0A000001 is "10.0.0.1".
std::string ToString(IpAddr addr);

// Frees a resolver result (the release function of its RaiiValue).
void ReleaseAddrInfo(addrinfo* info);

// `host` is the text before the last ':' and `port` the text after it;
// without a ':' the whole text is the host and the port is empty.
void SplitHostPort(const std::u32string& text, std::u32string& host, std::u32string& port);

// Resolves "host:port" (see SplitHostPort) to an address and port in host
// order; an empty port gives port 0. A numeric port above 65535 is refused
// like an unknown service. Throws:
//  - E_FAULT "Could not resolve address" with details `in`, `function`
//    ("getaddrinfo"), `code` (AddrInfoErrorCodeToString), `message` (the
//    resolver's text) and `address` (the whole text);
//  - the errno-based "Could not resolve address" (function "getaddrinfo",
//    detail `address`) when the resolver reports a system error;
//  - E_INVAL "Unknown getaddrinfo error code" for a resolver code without a
//    name, and E_INVAL "Could not resolve address" for a text holding a NUL;
//  - the UTF-8 conversion errors for text that is not valid Unicode.
void HostPortToAddrPort(const std::u32string& text, IpAddr& addr, IpPort& port);
// HostPortToAddrPort without the port.
void HostToAddr(const std::u32string& text, IpAddr& addr);

// The name of a resolver error code: the host's EAI_* constants, and the
// numbering 1..10 of BSD-derived resolvers (1 "EAI_ADDRFAMILY" .. 10
// "EAI_SOCKTYPE"). Throws E_INVAL "Unknown getaddrinfo error code" (detail
// `code`, decimal) for any other value.
std::string AddrInfoErrorCodeToString(int code);

}  // namespace OST
