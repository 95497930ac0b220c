#include "core/serialize.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/error.h"
#include "core/fs.h"
#include "core/path.h"
#include "io/fixed_buffer.h"
#include "io/string_writer.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Stored(const Serializable& record) {
  std::string bytes;
  StringWriter writer(bytes);
  record.StoreTo(writer);
  return bytes;
}

template <typename T>
std::string StoredValue(const T& v) {
  std::string bytes;
  StringWriter writer(bytes);
  Serializer::Store(writer, v);
  return bytes;
}

void ExpectError(const std::function<void()>& f, uint32_t code, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "no error, expected " << text;
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), code) << e.FullText(',');
    EXPECT_EQ(e.Text(), text);
  }
}

TEST(Serializer, PrimitiveEncodings) {
  EXPECT_EQ(Hex(StoredValue(uint16_t{0x1234})), "34 12");
  EXPECT_EQ(Hex(StoredValue(int32_t{-2})), "FE FF FF FF");
  EXPECT_EQ(Hex(StoredValue(uint64_t{0x0102030405060708})), "08 07 06 05 04 03 02 01");
  EXPECT_EQ(Hex(StoredValue(int8_t{-1})), "FF");
  EXPECT_EQ(Hex(StoredValue(std::string("abc"))), "03 00 00 00 61 62 63");
  EXPECT_EQ(Hex(StoredValue(std::string())), "00 00 00 00");
  EXPECT_EQ(Hex(StoredValue(std::u32string(U"\U0001F600"))), "04 00 00 00 F0 9F 98 80");
}

TEST(Serializer, RoundTripsEveryType) {
  std::string bytes;
  StringWriter writer(bytes);
  Serializer::Store(writer, int8_t{-8});
  Serializer::Store(writer, int16_t{-16});
  Serializer::Store(writer, int32_t{-32});
  Serializer::Store(writer, int64_t{-64});
  Serializer::Store(writer, uint8_t{8});
  Serializer::Store(writer, uint16_t{16});
  Serializer::Store(writer, uint32_t{32});
  Serializer::Store(writer, uint64_t{64});
  Serializer::Store(writer, std::string("bytes\0in", 8));
  Serializer::Store(writer, std::u32string(U"\u00e9"));
  FixedBufferReader reader(bytes.data(), bytes.size());
  int8_t i8;
  int16_t i16;
  int32_t i32;
  int64_t i64;
  uint8_t u8;
  uint16_t u16;
  uint32_t u32;
  uint64_t u64;
  std::string s;
  std::u32string w;
  Serializer::Load(reader, i8);
  Serializer::Load(reader, i16);
  Serializer::Load(reader, i32);
  Serializer::Load(reader, i64);
  Serializer::Load(reader, u8);
  Serializer::Load(reader, u16);
  Serializer::Load(reader, u32);
  Serializer::Load(reader, u64);
  Serializer::Load(reader, s);
  Serializer::Load(reader, w);
  EXPECT_EQ(i8, -8);
  EXPECT_EQ(i16, -16);
  EXPECT_EQ(i32, -32);
  EXPECT_EQ(i64, -64);
  EXPECT_EQ(u8, 8);
  EXPECT_EQ(u16, 16);
  EXPECT_EQ(u32, 32u);
  EXPECT_EQ(u64, 64u);
  EXPECT_EQ(s, std::string("bytes\0in", 8));
  EXPECT_EQ(w, U"\u00e9");
}

TEST(Serializer, UntrustedStringLengths) {
  // 2 GiB - 1 announced and nothing sent: fails at the end of the stream and
  // leaves the target as it was.
  const std::string huge("\xff\xff\xff\x7f", 4);
  FixedBufferReader hugeReader(huge.data(), huge.size());
  std::string target = "kept";
  ExpectError([&] { Serializer::Load(hugeReader, target); }, E_PIPE, "End of stream reached");
  EXPECT_EQ(target, "kept");

  const std::string topBit("\x00\x00\x00\x80", 4);
  FixedBufferReader topBitReader(topBit.data(), topBit.size());
  ExpectError([&] { Serializer::Load(topBitReader, target); }, E_INVAL, "Invalid string length");
  EXPECT_EQ(target, "kept");
}

TEST(StreamRead, ExactReadsAndEndOfStream) {
  testutil::ScriptedSource none;
  none.Read(nullptr, 0);
  EXPECT_TRUE(none.requested.empty());

  testutil::ScriptedSource pieces({"ab", "cd", "e"});
  char buffer[5];
  pieces.Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  EXPECT_THAT(pieces.requested, ElementsAre(5, 3, 1));

  testutil::ScriptedSource shortSource({"ab", ""});
  ExpectError([&] { shortSource.Read(buffer, 5); }, E_PIPE, "End of stream reached");
}

TEST(StreamCopy, ChunksOf131072) {
  testutil::EndlessSource source(1000000);
  testutil::RecordingSink sink;
  EXPECT_EQ(StreamCopyAny(sink, source, 300000), 300000);
  EXPECT_THAT(source.requested, ElementsAre(131072, 131072, 37856));
  EXPECT_EQ(StreamCopyAny(sink, source, 0), 0);

  testutil::EndlessSource shortSource(10);
  EXPECT_EQ(StreamCopyAny(sink, shortSource, 100), 10);
  testutil::EndlessSource shortAgain(10);
  ExpectError([&] { StreamCopy(sink, shortAgain, 100); }, E_PIPE, "End of stream reached");

  testutil::EndlessSource all(300000);
  testutil::RecordingSink everything;
  StreamCopy(everything, all);
  EXPECT_EQ(everything.All().size(), 300000u);
}

TEST(IovecsToString, ListsLengths) {
  const Iovec iov[] = {{"abcd", 4}, {"0123456789", 10}};
  EXPECT_EQ(IovecsToString(iov, 2), "[ 4 10 ]");
  EXPECT_EQ(IovecsToString(iov, 0), "[ ]");
}

TEST(RecordForms, ByteExamples) {
  EXPECT_EQ(Hex(Stored(Path())), "00 00 00 00 00");
  EXPECT_EQ(Hex(Stored(Path(U"ab"))), "02 00 00 00 61 62 01");
  const std::string stat = Stored(Stat(FLAG_WRITE, 5, {}, {}, {}));
  EXPECT_EQ(stat.size(), 36u);
  EXPECT_EQ(Hex(stat.substr(0, 5)), "04 00 00 00 05");
  EXPECT_EQ(stat.substr(5), std::string(31, '\0'));
  EXPECT_EQ(Hex(Stored(Error(E_NOENT, "x"))), "EA 03 00 00 01 00 00 00 78 00 00 00 00");
  EXPECT_EQ(Stored(Entry(Path(U"ab"), Stat(FLAG_WRITE, 5, {}, {}, {}))), Stored(Path(U"ab")) + stat);
}

template <typename T>
void ExpectRoundTripAndPrefixFailures(const T& original) {
  const std::string bytes = Stored(original);
  FixedBufferReader reader(bytes.data(), bytes.size());
  T loaded;
  loaded.LoadFrom(reader);
  EXPECT_EQ(Stored(loaded), bytes);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    FixedBufferReader shortReader(bytes.data(), cut);
    T partial;
    ExpectError([&] { partial.LoadFrom(shortReader); }, E_PIPE, "End of stream reached");
  }
}

TEST(RecordForms, RoundTripAndEveryShorterPrefixFails) {
  ExpectRoundTripAndPrefixFailures(Path(U"dir/\u00e9t\u00e9/file.txt"));
  ExpectRoundTripAndPrefixFailures(Stat(FLAG_EXE | FLAG_WRITE, 1 << 30, AccessTime(1), ModifyTime(-2), ChangeTime(3)));
  ExpectRoundTripAndPrefixFailures(Entry(Path(U"n"), Stat(0, 9, AccessTime(7), ModifyTime(8), ChangeTime(9))));
}

TEST(ErrorForm, RoundTripKeepsPairsAndReplacesOldOnes) {
  Error original(E_ACCES, "denied");
  original.Add("path", "a/b").Add("in", "x.cc:1:F");
  const std::string bytes = Stored(original);

  Error loaded(E_OK, "old");
  loaded.Add("stale", "pair");
  FixedBufferReader reader(bytes.data(), bytes.size());
  loaded.LoadFrom(reader);
  EXPECT_EQ(loaded.Code(), E_ACCES);
  EXPECT_EQ(loaded.Text(), "denied");
  EXPECT_THAT(loaded.Pairs(), ElementsAre(Pair("path", "a/b"), Pair("in", "x.cc:1:F")));
  EXPECT_EQ(Stored(loaded), bytes);

  const std::string none = Stored(Error(E_NOENT, "x"));
  FixedBufferReader noneReader(none.data(), none.size());
  loaded.LoadFrom(noneReader);
  EXPECT_TRUE(loaded.Pairs().empty());
}

TEST(ErrorForm, CutPairsAreKeptUntilAllBytesArrive) {
  Error original(E_ACCES, "denied");
  original.Add("path", "a/b");
  const std::string bytes = Stored(original);
  Error target(E_OK, "t");
  target.Add("kept", "yes");
  FixedBufferReader reader(bytes.data(), bytes.size() - 1);
  EXPECT_THROW(target.LoadFrom(reader), Error);
  EXPECT_THAT(target.Pairs(), ElementsAre(Pair("kept", "yes")));
}

TEST(ErrorForm, OversizedPairAreaSendsWholePairsOnly) {
  Error big(E_IO, "big");
  const std::string value(20000, 'v');
  for (int i = 0; i < 4; ++i) big.Add("k", value);  // 4 x 20009 bytes
  const std::string bytes = Stored(big);
  FixedBufferReader reader(bytes.data(), bytes.size());
  Error loaded(E_OK, "");
  loaded.LoadFrom(reader);
  const auto pairs = loaded.Pairs();
  EXPECT_EQ(pairs.size(), 3u);
  for (const auto& pair : pairs) EXPECT_EQ(pair.second, value);
}

TEST(ErrorForm, MalformedPairBytesFromPeer) {
  // Pair bytes announcing a 100-byte name but holding 3 bytes.
  std::string bytes;
  StringWriter writer(bytes);
  Serializer::Store(writer, uint32_t{E_IO});
  Serializer::Store(writer, std::string("t"));
  Serializer::Store(writer, uint32_t{7});
  const std::string pairs("\x64\x00\x00\x00" "abc", 7);
  writer.Write(pairs.data(), pairs.size());
  FixedBufferReader reader(bytes.data(), bytes.size());
  Error loaded(E_OK, "");
  loaded.LoadFrom(reader);
  ExpectError([&] { loaded.Pairs(); }, E_PIPE, "End of stream reached");
  EXPECT_EQ(loaded.FullText(','), "Code: E_IO, Text: \"t\"");  // logging never throws

  // A pair count beyond the limit of the form is refused.
  std::string tooLong;
  StringWriter tooLongWriter(tooLong);
  Serializer::Store(tooLongWriter, uint32_t{E_IO});
  Serializer::Store(tooLongWriter, std::string("t"));
  Serializer::Store(tooLongWriter, uint32_t{70000});
  FixedBufferReader tooLongReader(tooLong.data(), tooLong.size());
  EXPECT_THROW(loaded.LoadFrom(tooLongReader), Error);
}

TEST(PathForm, ReceivedPathMustBeInNormalForm) {
  const struct {
    std::string text;
    int8_t levels;
  } refused[] = {
      {"..", 1}, {"a/../..", 3}, {"../etc", 2}, {"a//b", 3}, {"/a", 1}, {"a/b", 1},
      {"a", 0},  {"C:", 1},      {"a\\b", 2},   {"a/", 1},   {"a\x01", 1},
  };
  for (const auto& c : refused) {
    std::string bytes;
    StringWriter writer(bytes);
    Serializer::Store(writer, c.text);
    Serializer::Store(writer, c.levels);
    FixedBufferReader reader(bytes.data(), bytes.size());
    Path p(U"unchanged");
    try {
      p.LoadFrom(reader);
      ADD_FAILURE() << c.text;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL) << c.text;
      EXPECT_EQ(e.Pairs().at(0), std::make_pair(std::string("path"), c.text));
    }
    EXPECT_EQ(p, Path(U"unchanged"));
  }
}

}  // namespace
}  // namespace OST
