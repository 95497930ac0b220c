// Name resolution without network traffic: numeric addresses, "localhost"
// (from the hosts file) and failures the resolver finds locally.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "io/hostname.h"

namespace OST {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(IpAddrText, DottedDecimalMostSignificantFirst) {
  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {0xC0A80001, "192.168.0.1"}, {0x0A000001, "10.0.0.1"}, {0, "0.0.0.0"}, {0xFFFFFFFF, "255.255.255.255"}};
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(ToString(IpAddr(value)), text);
    EXPECT_EQ(Format("at {}", IpAddr(value)), "at " + text);  // Format finds it too
  }
}

TEST(SplitHostPort, PortFollowsTheLastColon) {
  struct Case {
    std::u32string text, host, port;
  };
  const std::vector<Case> cases = {
      {U"alpha:7000", U"alpha", U"7000"}, {U"a:b:7000", U"a:b", U"7000"}, {U"alpha", U"alpha", U""},
      {U"alpha:", U"alpha", U""},         {U":7000", U"", U"7000"},       {U"", U"", U""},
  };
  for (const Case& c : cases) {
    std::u32string host = U"stale", port = U"stale";
    SplitHostPort(c.text, host, port);
    EXPECT_EQ(host, c.host) << ToString(c.text);
    EXPECT_EQ(port, c.port) << ToString(c.text);
  }
}

TEST(HostPortToAddrPort, ResolvesNumericAndLocalNames) {
  struct Case {
    std::u32string text;
    uint32_t addr;
    uint16_t port;
  };
  const std::vector<Case> cases = {
      {U"10.0.0.1:7000", 0x0A000001, 7000}, {U"10.0.0.1", 0x0A000001, 0},  {U"10.0.0.1:", 0x0A000001, 0},
      {U"localhost:7000", 0x7F000001, 7000}, {U"127.0.0.1:65535", 0x7F000001, 65535},
  };
  for (const Case& c : cases) {
    IpAddr addr(1);
    IpPort port(1);
    HostPortToAddrPort(c.text, addr, port);
    EXPECT_EQ(addr.value, c.addr) << ToString(c.text);
    EXPECT_EQ(port.value, c.port) << ToString(c.text);
  }
  IpAddr addr;
  HostToAddr(U"192.168.0.1:80", addr);
  EXPECT_EQ(addr.value, 0xC0A80001u);
}

// Unknown services and ports beyond 16 bits fail as the resolver's
// EAI_SERVICE, with the details in their fixed order.
TEST(HostPortToAddrPort, ServiceFailuresCarryResolverDetails) {
  for (const std::u32string& text : std::vector<std::u32string>{U"localhost:nosuchservice", U"1.2.3.4:99999999", U"1.2.3.4:65536"}) {
    IpAddr addr;
    IpPort port;
    try {
      HostPortToAddrPort(text, addr, port);
      ADD_FAILURE() << ToString(text);
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_FAULT);
      EXPECT_EQ(e.Text(), "Could not resolve address");
      const Pairs pairs = e.Pairs();
      ASSERT_GE(pairs.size(), 5u) << e.FullText(',');
      EXPECT_EQ(pairs[0].first, "in");
      EXPECT_THAT(pairs[0].second, ::testing::HasSubstr("HostPortToAddrPort"));
      EXPECT_EQ(pairs[1], std::make_pair(std::string("function"), std::string("getaddrinfo")));
      EXPECT_EQ(pairs[2], std::make_pair(std::string("code"), std::string("EAI_SERVICE")));
      EXPECT_EQ(pairs[3], std::make_pair(std::string("message"), std::string(gai_strerror(EAI_SERVICE))));
      EXPECT_EQ(pairs[4], std::make_pair(std::string("address"), ToString(text)));
    }
  }
}

TEST(HostPortToAddrPort, RefusesTextThatWouldBeCutShort) {
  IpAddr addr;
  IpPort port;
  const std::u32string text(U"127.0.0.1\0evil:80", 17);
  try {
    HostPortToAddrPort(text, addr, port);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_INVAL);
    EXPECT_EQ(e.Text(), "Could not resolve address");
  }
}

TEST(AddrInfoErrorCodeToString, NamesHostCodesAndNumberedCodes) {
  const std::vector<std::pair<int, std::string>> hostCodes = {
      {EAI_ADDRFAMILY, "EAI_ADDRFAMILY"}, {EAI_AGAIN, "EAI_AGAIN"},   {EAI_BADFLAGS, "EAI_BADFLAGS"},
      {EAI_FAIL, "EAI_FAIL"},             {EAI_FAMILY, "EAI_FAMILY"}, {EAI_MEMORY, "EAI_MEMORY"},
      {EAI_NODATA, "EAI_NODATA"},         {EAI_NONAME, "EAI_NONAME"}, {EAI_SERVICE, "EAI_SERVICE"},
      {EAI_SOCKTYPE, "EAI_SOCKTYPE"},
  };
  for (const auto& [code, name] : hostCodes) EXPECT_EQ(AddrInfoErrorCodeToString(code), name) << code;
  const std::vector<std::string> numbered = {"EAI_ADDRFAMILY", "EAI_AGAIN",  "EAI_BADFLAGS", "EAI_FAIL",
                                             "EAI_FAMILY",     "EAI_MEMORY", "EAI_NODATA",   "EAI_NONAME",
                                             "EAI_SERVICE",    "EAI_SOCKTYPE"};
  for (int code = 1; code <= 10; ++code) EXPECT_EQ(AddrInfoErrorCodeToString(code), numbered[code - 1]);
}

TEST(AddrInfoErrorCodeToString, UnknownCodeIsAnError) {
  for (int code : {0, 11, EAI_SYSTEM, -1000}) {
    try {
      AddrInfoErrorCodeToString(code);
      ADD_FAILURE() << code;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), "Unknown getaddrinfo error code");
      EXPECT_THAT(e.Pairs(), ::testing::Contains(std::make_pair(std::string("code"), std::to_string(code))));
    }
  }
}

}  // namespace
}  // namespace OST
