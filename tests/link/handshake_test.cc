#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "core/serialize.h"
#include "io/string_writer.h"
#include "link/crc.h"
#include "link/handshake.h"
#include "link_test_util.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using linktest::BufferStream;
using linktest::CatchError;
using linktest::Detail;
using linktest::FromHex;

// A record's fields; Bytes() gives its form with a correct CRC.
struct RecordFields {
  std::string mark = "\x11\x22\x33\x44";
  uint64_t version = 1010;
  uint8_t role = 1;
  uint64_t id = 0x0102030405060708;
  uint32_t hops = 2;
  std::vector<std::string> extras;

  std::string Bytes() const {
    std::string record;
    StringWriter writer(record);
    writer.Write(mark.data(), 4);
    Serializer::Store(writer, version);
    Serializer::Store(writer, role);
    Serializer::Store(writer, id);
    Serializer::Store(writer, hops);
    Serializer::Store(writer, static_cast<uint16_t>(extras.size()));
    for (const std::string& extra : extras) {
      Serializer::Store(writer, static_cast<uint16_t>(extra.size()));
      writer.Write(extra.data(), static_cast<int64_t>(extra.size()));
    }
    Serializer::Store(writer, Crc16(record.data(), static_cast<int64_t>(record.size())).Value());
    return record;
  }
};

// The default record with one change.
template <typename Change>
std::string Record(Change change) {
  RecordFields fields;
  change(fields);
  return fields.Bytes();
}

std::string FlipBit(std::string bytes, size_t byte, int bit) {
  bytes[byte] = static_cast<char>(bytes[byte] ^ (1 << bit));
  return bytes;
}

TEST(Handshake, SendWritesPreambleRecordAndCrc) {
  testutil::CapturedLog log;
  LogEnabled[120] = 1;
  LogEnabled[kLogVerbose2] = 1;
  BufferStream stream;
  Handshake::Send(stream, 1, 0x0102030405060708, 2);
  // The documented example; the CRC was computed independently.
  const std::string expected = std::string(kPreamble, kPreambleSize) +
                               FromHex("11223344" "f203000000000000" "01" "0807060504030201" "02000000" "0000" "135e");
  EXPECT_EQ(stream.output, expected);
  EXPECT_EQ(stream.output.size(), 77u);
  EXPECT_TRUE(log.HasLineEndingWith("Sent handshake ver=1010 id=102030405060708 hops=2 extra=0"));
  EXPECT_TRUE(log.HasLineEndingWith(":Send Sending handshake"));
}

TEST(Handshake, ReceiveKeepsIdAndHops) {
  testutil::CapturedLog log;
  LogEnabled[120] = 1;
  LogEnabled[kLogVerbose2] = 1;
  BufferStream sent;
  Handshake::Send(sent, 0, 0xfedcba9876543210, 7);
  BufferStream stream(sent.output.substr(kPreambleSize) + "next");
  const Handshake received(stream, 0);
  EXPECT_EQ(received.id, 0xfedcba9876543210u);
  EXPECT_EQ(received.hops, 7u);
  EXPECT_EQ(stream.position, 29u);  // nothing read beyond the record
  EXPECT_TRUE(log.HasLineEndingWith("Received handshake ver=1010 id=fedcba9876543210 hops=7 extras=0"));
  EXPECT_TRUE(log.HasLineEndingWith(":Handshake Receiving handshake"));
}

TEST(Handshake, ExtrasAreSkippedAndChecksummed) {
  RecordFields fields;
  fields.extras = {"xyz", "", std::string(5000, 'e')};
  BufferStream stream(fields.Bytes() + "next");
  const Handshake received(stream, 1);
  EXPECT_EQ(received.id, fields.id);
  EXPECT_EQ(received.hops, fields.hops);
  EXPECT_EQ(stream.input.substr(stream.position), "next");

  // The extra bytes count in the CRC: a bit flipped inside one is caught.
  const std::string bytes = Record([](RecordFields& r) { r.extras = {"xyz"}; });
  BufferStream flipped(FlipBit(bytes, 29, 0));  // inside "xyz"
  const Error e = CatchError([&] { Handshake(flipped, 1); });
  EXPECT_EQ(e.Text(), "Received handshake checksum mismatch");
}

TEST(Handshake, ChecksInOrderWithTheirErrors) {
  const std::string version1011 = Record([](RecordFields& r) { r.version = 1011; });
  const std::string role1 = RecordFields{}.Bytes();
  const struct {
    const char* name;
    std::string bytes;
    uint8_t expectedRole;
    uint32_t code;
    const char* text;
  } cases[] = {
      {"endian", Record([](RecordFields& r) { r.mark = "\x44\x33\x22\x11"; }), 1, E_INVAL, "Unsupported peer endian"},
      {"version", version1011, 1, E_NOSYS, "Unsupported protocol version"},
      {"version with a flipped bit", FlipBit(version1011, 4, 3), 1, E_INVAL, "Received handshake checksum mismatch"},
      {"role", role1, 0, E_INVAL, "Invalid peer role"},
      {"role with a flipped bit", FlipBit(role1, 12, 1), 0, E_INVAL, "Received handshake checksum mismatch"},
      {"crc", FlipBit(role1, 28, 7), 1, E_INVAL, "Received handshake checksum mismatch"},
      {"id", FlipBit(role1, 13, 0), 1, E_INVAL, "Received handshake checksum mismatch"},
  };
  for (const auto& c : cases) {
    BufferStream stream(c.bytes);
    const Error e = CatchError([&] { Handshake(stream, c.expectedRole); });
    EXPECT_EQ(e.Code(), c.code) << c.name;
    EXPECT_EQ(e.Text(), c.text) << c.name;
    EXPECT_NE(Detail(e, "in").find(":Handshake"), std::string::npos) << c.name;
  }
  BufferStream endian(Record([](RecordFields& r) { r.mark = "\x44\x33\x22\x11"; }));
  EXPECT_EQ(Detail(CatchError([&] { Handshake(endian, 1); }), "endian"), "0x11223344");
}

TEST(Handshake, EveryTruncatedRecordEndsTheStream) {
  const std::string bytes = Record([](RecordFields& r) { r.extras = {"ab"}; });
  for (size_t length = 0; length < bytes.size(); ++length) {
    BufferStream stream(bytes.substr(0, length));
    const Error e = CatchError([&] { Handshake(stream, 1); });
    EXPECT_EQ(e.Code(), E_PIPE) << length;
    EXPECT_EQ(e.Text(), "End of stream reached") << length;
  }
}

TEST(Handshake, PreambleRecognition) {
  EXPECT_TRUE(IsPreamble(kPreamble));
  std::string other(kPreamble, kPreambleSize);
  other[47] = 'x';
  EXPECT_FALSE(IsPreamble(other.data()));
}

}  // namespace
}  // namespace OST
