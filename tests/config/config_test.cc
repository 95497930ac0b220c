#include "config/config.h"

#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "util/catch_error.h"

namespace OST {
namespace {

using testutil::CatchError;
using testutil::DetailPairs;

TEST(ParseConfig, AcceptedFilesGiveTheseRecords) {
  const struct {
    std::string text;
    std::string expected;  // ToString of the parsed Config
  } cases[] = {
      {"{}", "{id=00,listen=0,relays=[],peers=[]}"},
      {"\xEF\xBB\xBF{\"id\":\"0x1a\"}", "{id=1a,listen=0,relays=[],peers=[]}"},
      {R"({"id":"1a"})", "{id=1a,listen=0,relays=[],peers=[]}"},
      // A number is read by its token, as hex: 10 is 16.
      {R"({"id":10})", "{id=10,listen=0,relays=[],peers=[]}"},
      {R"({"listen":"  4000/tcp"})", "{id=00,listen=4000,relays=[],peers=[]}"},
      {R"({"listen":65535,"listen":"0"})", "{id=00,listen=0,relays=[],peers=[]}"},
      // Arrays of a repeated key are appended; strings and numbers mix.
      {R"({"relays":["r1:80",5,true],"relays":["x"]})", "{id=00,listen=0,relays=[r1:80,5,true,x],peers=[]}"},
      {R"({"peers":[{"id":"ff"}]})", "{id=00,listen=0,relays=[],peers=[{name=0xff,id=ff,shares=[],addrs=[]}]}"},
      {R"({"peers":[{"id":2,"name":"bob","addrs":["h:1",2]}]})",
       "{id=00,listen=0,relays=[],peers=[{name=bob,id=02,shares=[],addrs=[h:1,2]}]}"},
      // Share names: from "path" when missing; listed in byte order.
      {R"({"peers":[{"id":1,"shares":[{"path":"/data/photos"},{"name":"all","path":"/"},{"name":"B","path":"b"}]}]})",
       "{id=00,listen=0,relays=[],peers=[{name=0x01,id=01,shares=["
       "{name=B,path=b,write=false},{name=all,path=,write=false},{name=photos,path=data/photos,write=false}"
       "],addrs=[]}]}"},
      // Only a non-zero integer reading grants writing.
      {R"({"peers":[{"id":1,"shares":[{"name":"a","write":"true"},{"name":"b","write":1},{"name":"c","write":true},
          {"name":"d","write":0},{"name":"e","write":null},{"name":"f","write":false},{"name":"g","write":"1"}]}]})",
       "{id=00,listen=0,relays=[],peers=[{name=0x01,id=01,shares=["
       "{name=a,path=,write=false},{name=b,path=,write=true},{name=c,path=,write=true},"
       "{name=d,path=,write=false},{name=e,path=,write=false},{name=f,path=,write=false},"
       "{name=g,path=,write=false}],addrs=[]}]}"},
      // "writes" may come before "shares"; a template's share becomes
      // writable for the one peer that lists it.
      {R"({"templates":[{"name":"t","shares":[{"path":"/srv/docs"}]},{"name":"u","shares":["t",{"path":"/x"}]}],
          "peers":[{"id":1,"name":"a","writes":["docs"],"shares":["u"]},{"id":2,"name":"b","shares":["t"]}]})",
       "{id=00,listen=0,relays=[],peers=["
       "{name=a,id=01,shares=[{name=docs,path=srv/docs,write=true},{name=x,path=x,write=false}],addrs=[]},"
       "{name=b,id=02,shares=[{name=docs,path=srv/docs,write=false}],addrs=[]}]}"},
      // A repeated scalar is overwritten.
      {R"({"peers":[{"id":1,"name":"a","name":"z","id":3}]})",
       "{id=00,listen=0,relays=[],peers=[{name=z,id=03,shares=[],addrs=[]}]}"},
      // Text after the closing brace is not read.
      {R"({"id":"5"} {"id":"6"} garbage)", "{id=05,listen=0,relays=[],peers=[]}"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Config> config;
    const auto caught = CatchError([&] { config = ParseConfig(c.text); });
    ASSERT_FALSE(caught.thrown) << c.text << "\n" << caught.full;
    EXPECT_EQ(ToString(*config), c.expected) << c.text;
  }
}

TEST(ParseConfig, NumbersAndSecretsAreKeptExactly) {
  const auto config = ParseConfig(
      R"({"id":10,"listen":"\t 8080x","peers":[{"id":"0xffffffffffffffff","name":"p","secret":"s3cr\u00e9t\u0000x"}]})");
  EXPECT_EQ(config->id, 16u);
  EXPECT_EQ(config->listen, 8080);
  ASSERT_EQ(config->peers.size(), 1u);
  EXPECT_EQ(config->peers[0].id, UINT64_MAX);
  EXPECT_EQ(config->peers[0].secret, std::string("s3cr\xc3\xa9t\0x", 9));
  // The secret is never shown.
  EXPECT_EQ(ToString(*config), "{id=10,listen=8080,relays=[],peers=[{name=p,id=ffffffffffffffff,shares=[],addrs=[]}]}");
  EXPECT_EQ(ToString(config->peers[0]).find("s3cr"), std::string::npos);
}

TEST(ParseConfig, RefusedFilesGiveCodeTextAndDetails) {
  const struct {
    std::string text;
    uint32_t code;
    std::string message;
    DetailPairs details;
  } cases[] = {
      {R"({"x":1})", E_INVAL, "Unknown field", {{"field", "x"}, {"value", "1"}}},
      {R"({"ID":1})", E_INVAL, "Unknown field", {{"field", "ID"}, {"value", "1"}}},
      {R"({"peers":[{"id":1,"extra":{"deep":[[[1]]]}}]})", E_INVAL, "Unknown field", {{"field", "extra"}, {"value", ""}}},
      {R"({"peers":[{"id":1,"shares":[{"name":"a","mode":"rw"}]}]})", E_INVAL, "Unknown field",
       {{"field", "mode"}, {"value", "rw"}}},
      {R"({"templates":[{"shares":[]}]})", E_INVAL, "Template name is not specified", {}},
      {R"({"templates":[{"name":""}]})", E_INVAL, "Template name is not specified", {}},
      {R"({"templates":[{"name":"t"},{"name":"t"}]})", E_EXIST, "Duplicate share name", {{"name", "t"}}},
      {R"({"peers":[{"id":1,"shares":["t"]}],"templates":[{"name":"t"}]})", E_INVAL, "Share is not defined",
       {{"share", "t"}}},
      {R"({"peers":[{"id":1,"shares":[{"path":"/"}]}]})", E_INVAL, "Share name for root path should not be empty", {}},
      {R"({"peers":[{"id":1,"shares":[{}]}]})", E_INVAL, "Share name for root path should not be empty", {}},
      {R"({"peers":[{"id":1,"shares":[{"path":"/a/x"},{"path":"/b/x"}]}]})", E_EXIST, "Duplicate share point name",
       {{"name", "x"}}},
      {R"({"templates":[{"name":"t","shares":[{"name":"x"}]}],"peers":[{"id":1,"shares":[{"name":"x"},"t"]}]})",
       E_EXIST, "Duplicate share point name", {{"name", "x"}}},
      {R"({"peers":[{"name":"a"}]})", E_INVAL, "Peer ID is not specified", {}},
      {R"({"peers":[{"id":"0x0"}]})", E_INVAL, "Peer ID is not specified", {}},
      {R"({"peers":[{"id":1,"writes":["docs"]}]})", E_INVAL, "Unknown share for write access", {{"share", "docs"}}},
      {R"({"peers":[{"id":1,"name":"a"},{"id":2,"name":"a"}]})", E_EXIST, "Duplicate peer name",
       {{"name", "a"}, {"id", "02"}}},
      {R"({"peers":[{"id":1,"name":"a"},{"id":1,"name":"b"}]})", E_EXIST, "Duplicate peer id",
       {{"id", "01"}, {"name", "b"}}},
      {R"({"peers":[{"id":1,"name":"a"},{"id":1,"name":"a"}]})", E_EXIST, "Duplicate peer name",
       {{"name", "a"}, {"id", "01"}}},
      {R"({"id":"1F"})", E_INVAL, "Hex value is invalid", {{"hex", "1F"}}},
      {R"({"peers":[{"id":"1ffffffffffffffff"}]})", E_OVER, "Hex constant is too large", {{"hex", "1ffffffffffffffff"}}},
      {R"({"peers":[{"id":1,"shares":[{"name":"a:b"}]}]})", E_INVAL, "Unsupported character in the path",
       {{"path", "a:b"}}},
      {R"({"peers":[{"id":1,"shares":[{"path":"/a/../b"}]}]})", E_INVAL, "Unresolved path with dots", {}},
      {R"({"listen":"tcp"})", E_INVAL, "Invalid listen port", {{"listen", "tcp"}}},
      {R"({"listen":""})", E_INVAL, "Invalid listen port", {{"listen", ""}}},
      {R"({"listen":65536})", E_INVAL, "Invalid listen port", {{"listen", "65536"}}},
      {R"({"listen":-1})", E_INVAL, "Invalid listen port", {{"listen", "-1"}}},
      {R"({"listen":99999999999999999999})", E_INVAL, "Invalid listen port", {{"listen", "99999999999999999999"}}},
  };
  for (const auto& c : cases) {
    const auto caught = CatchError([&] { ParseConfig(c.text); });
    ASSERT_TRUE(caught.thrown) << c.text;
    EXPECT_EQ(caught.code, c.code) << c.text << "\n" << caught.full;
    EXPECT_EQ(caught.text, c.message) << c.text;
    // Library errors (hex, paths) may add further pairs after these.
    ASSERT_GE(caught.details.size(), c.details.size()) << c.text << "\n" << caught.full;
    EXPECT_EQ(DetailPairs(caught.details.begin(), caught.details.begin() + c.details.size()), c.details)
        << c.text << "\n" << caught.full;
  }
}

TEST(ParseConfig, JsonErrorsAndWrongKindsReportWhereReadingStopped) {
  const struct {
    std::string text;
    std::string what;
    std::string offset, line, column;
  } cases[] = {
      {"", "Expected opening bracket", "0", "1", "1"},
      {"{ x}", "Expected opening quote", "2", "1", "3"},
      {"{\n x}", "Expected opening quote", "3", "2", "2"},
      {"{\r\n x}", "Expected opening quote", "4", "2", "2"},
      {"{\r x}", "Expected opening quote", "3", "1", "2"},
      {"\xEF\xBB\xBF{ x}", "Expected opening quote", "2", "1", "3"},
      // The offset points at a line feed inside a string: column 0.
      {"{\"a\":\"\\\n\"}", "Invalid escape sequence", "7", "2", "0"},
      {"{\n\n  \"id\":\"1\",\n  \"relays\":\"r\"}", "Expected opening bracket", "28", "4", "14"},
      {R"({"id":{}})", "Nested object or array not parsed", "6", "1", "7"},
      {R"({"listen":[1]})", "Nested object or array not parsed", "10", "1", "11"},
      {R"({"relays":[["r"]]})", "Nested object or array not parsed", "11", "1", "12"},
      {R"({"templates":["t"]})", "Expected opening bracket", "16", "1", "17"},
      {R"({"peers":{}})", "Expected opening bracket", "9", "1", "10"},
      {R"({"peers":[5]})", "Expected opening bracket", "10", "1", "11"},
      {R"({"peers":[{"id":1,"shares":[[1]]}]})", "Nested object or array not parsed", "28", "1", "29"},
      {R"({"peers":[{"id":1,"writes":"a"}]})", "Expected opening bracket", "29", "1", "30"},
      {R"({"id":"1",})", "Expected opening quote", "10", "1", "11"},
      // Cut short: inside the object, in a value, and after a value and blanks.
      {R"({"peers":[{"id":1})", "Expected comma or closing bracket", "18", "1", "19"},
      {R"({"id":12)", "Unterminated value", "8", "1", "9"},
      {"{\"id\":\"1\"\n  ", "Unexpected end of input", "12", "2", "3"},
  };
  for (const auto& c : cases) {
    const auto caught = CatchError([&] { ParseConfig(c.text); });
    ASSERT_TRUE(caught.thrown) << c.text;
    EXPECT_EQ(caught.code, E_PARSE) << c.text;
    EXPECT_EQ(caught.text, "Could not parse configuration") << c.text;
    const DetailPairs expected = {{"what", c.what}, {"offset", c.offset}, {"line", c.line}, {"column", c.column}};
    EXPECT_EQ(caught.details, expected) << c.text;
  }
}

TEST(TextPosition, CountsColumnsFromTheLastLineBreak) {
  const struct {
    std::string text;
    size_t offset, line, column;
  } cases[] = {
      {"abc", 0, 1, 1}, {"abc", 2, 1, 3},     {"a\nbc", 1, 2, 0},    {"a\nbc", 2, 2, 1},   {"a\nb\nc", 4, 3, 1},
      {"a\r\nb", 3, 2, 1}, {"a\rb\rc", 4, 1, 1}, {"a\n", 2, 2, 1},   {"", 0, 1, 1},        {"\n\n", 1, 3, 0},
  };
  for (const auto& c : cases) {
    size_t line = 0;
    size_t column = 0;
    TextPosition(c.text, c.offset, line, column);
    EXPECT_EQ(line, c.line) << c.offset;
    EXPECT_EQ(column, c.column) << c.offset;
  }
}

TEST(ConfigLookups, FindPeersByIdAndName) {
  const auto config = ParseConfig(R"({"peers":[{"id":"abc","name":"one"},{"id":"2"},{"id":"3","name":"three"}]})");
  ASSERT_NE(config->FindPeerCfgById(0xabc), nullptr);
  EXPECT_EQ(config->FindPeerCfgById(0xabc)->name, "one");
  EXPECT_EQ(config->FindPeerCfgById(3), &config->peers[2]);
  EXPECT_EQ(config->FindPeerCfgById(4), nullptr);
  EXPECT_EQ(config->FindPeerCfgByName("0x02"), &config->peers[1]);
  EXPECT_EQ(config->FindPeerCfgByName("three")->id, 3u);
  EXPECT_EQ(config->FindPeerCfgByName("THREE"), nullptr);
  EXPECT_EQ(&config->PeerCfgById(2), &config->peers[1]);

  const auto caught = CatchError([&] { config->PeerCfgById(0xdead); });
  ASSERT_TRUE(caught.thrown);
  EXPECT_EQ(caught.code, E_NOENT);
  EXPECT_EQ(caught.text, "Peer not found");
  EXPECT_EQ(caught.details, (DetailPairs{{"id", "dead"}}));
}

TEST(ConfigLookups, BuildIndexesRefusesDuplicatesAndLeavesNoIndex) {
  Config config;
  config.peers.push_back(PeerCfg{1, "a", "", {}, {}});
  config.peers.push_back(PeerCfg{2, "b", "", {}, {}});
  config.BuildIndexes();
  EXPECT_EQ(config.FindPeerCfgByName("b"), &config.peers[1]);
  config.peers.push_back(PeerCfg{1, "c", "", {}, {}});
  const auto caught = CatchError([&] { config.BuildIndexes(); });
  EXPECT_EQ(caught.text, "Duplicate peer id");
  EXPECT_EQ(config.FindPeerCfgByName("a"), nullptr);
  EXPECT_EQ(config.FindPeerCfgById(2), nullptr);
}

}  // namespace
}  // namespace OST
