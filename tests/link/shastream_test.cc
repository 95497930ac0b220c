#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/crypto.h"
#include "link/handshake.h"
#include "link/shastream.h"
#include "link_test_util.h"
#include "util/memory_pipe.h"

namespace OST {
namespace {

using linktest::BufferStream;
using linktest::CatchError;
using linktest::Detail;
using linktest::ScriptedStream;

const std::string kKey = "correct horse battery staple";

// The keystream written out the slow way: key k's byte j is byte j mod 32 of
// SHA-256(salt | constant k | key | SUFFIX[j / 32]), and the pad's byte i is
// the XOR of the three keys' bytes i mod Lk.
class ReferencePad {
 public:
  ReferencePad(const ShaParams& p, const std::string& salt, const std::string& key) {
    const int lengths[3] = {p.l1, p.l2, p.l3};
    for (int k = 0; k < 3; ++k) {
      for (int j = 0; j < lengths[k]; ++j) {
        std::string input = salt;
        input.append(reinterpret_cast<const char*>(kShaPadConstants[k]), kShaPadConstantSize);
        input += key;
        input += SUFFIX[j / 32];
        uint8_t digest[kSha256Size];
        sha256(input.data(), input.size(), digest);
        keys_[k].push_back(digest[j % 32]);
      }
    }
  }
  uint8_t At(int64_t i) const {
    return keys_[0][i % keys_[0].size()] ^ keys_[1][i % keys_[1].size()] ^ keys_[2][i % keys_[2].size()];
  }
  std::string Apply(const std::string& data, int64_t offset) const {
    std::string out = data;
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ At(offset + i));
    return out;
  }

 private:
  std::vector<uint8_t> keys_[3];
};

std::string RandomBytes(std::mt19937& random, size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::mt19937 SeededRandom() { return std::mt19937(::testing::UnitTest::GetInstance()->random_seed()); }

TEST(ShaConstants, HaveTheirFixedForms) {
  for (int i = 0; i < kShaSuffixCount; ++i) {
    const size_t expected = i == 32 ? 0 : i == 52 ? 7 : 8;
    EXPECT_EQ(std::strlen(SUFFIX[i]), expected) << i;
  }
  // The pad constants are binary: zero bytes inside must count.
  bool zeroInside = false;
  for (const auto& constant : kShaPadConstants)
    for (uint8_t byte : constant) zeroInside |= byte == 0;
  EXPECT_TRUE(zeroInside);
}

TEST(ShaKey, RefusesLengthsOutsideOneTo2048) {
  for (int length : {0, 2049, -1}) {
    const Error e = CatchError([&] { ShaKey key(length); });
    EXPECT_EQ(e.Code(), E_INVAL) << length;
    EXPECT_EQ(e.Text(), "Invalid key length") << length;
    EXPECT_EQ(Detail(e, "length"), std::to_string(length));
  }
  EXPECT_EQ(ShaKey(1).Length(), 1);
  EXPECT_EQ(ShaKey(2048).Length(), 2048);
  const Error e = CatchError([] { ShaPad3(23, 0, 31); });
  EXPECT_EQ(e.Text(), "Invalid key length");
}

// Length 2048 uses all 64 suffixes, including the empty one and the short one.
TEST(ShaKey, LongestKeyUsesEverySuffix) {
  const std::string a = "salt-and-constant", b = kKey;
  ShaKey key(2048, a, b);
  std::string bytes(2048, '\0');
  key.Apply(bytes.data(), 2048);
  for (int block = 0; block < kShaSuffixCount; ++block) {
    const std::string input = a + b + SUFFIX[block];
    uint8_t digest[kSha256Size];
    sha256(input.data(), input.size(), digest);
    EXPECT_EQ(bytes.substr(block * 32, 32), std::string(reinterpret_cast<char*>(digest), 32)) << block;
  }
  EXPECT_EQ(key.Position(), 0);
}

TEST(ShaKey, ApplyWrapsFromAnyOffset) {
  const std::string a = "a", b = "b";
  for (int length : {1, 23, 32, 33, 541}) {
    ShaKey whole(length, a, b);
    std::string block(length, '\0');
    whole.Apply(block.data(), length);
    for (int64_t offset : {int64_t{0}, int64_t{5}, int64_t{length} * 3 + 1}) {
      for (int64_t n : {int64_t{1}, int64_t{length}, int64_t{kShaSpan} + 7, int64_t{5000}}) {
        ShaKey key(length);
        key.Reset(a, b, offset);
        std::string data(n, '\x5a');
        key.Apply(data.data(), n);
        for (int64_t i = 0; i < n; ++i) {
          ASSERT_EQ(static_cast<uint8_t>(data[i]), 0x5a ^ static_cast<uint8_t>(block[(offset + i) % length]))
              << length << " " << offset << " " << n << " " << i;
        }
        EXPECT_EQ(key.Position(), (offset + n) % length);
      }
    }
  }
}

TEST(ShaPad3, MatchesReferenceInAnyPieces) {
  std::mt19937 random = SeededRandom();
  for (const ShaParams& params : {kSetupCipher, kConnectionCipher}) {
    const std::string salt = RandomBytes(random, 128);
    const ReferencePad reference(params, salt, kKey);
    const std::string data = RandomBytes(random, 70000);
    for (int64_t offset : {int64_t{0}, int64_t{48}, int64_t{1000003}}) {
      ShaPad3 pad(params.l1, params.l2, params.l3);
      pad.Reset(salt, kKey, offset);
      std::string out = data;
      for (size_t at = 0; at < out.size();) {
        const size_t n = std::min<size_t>(out.size() - at, random() % 9000);
        pad.Apply(out.data() + at, static_cast<int64_t>(n));
        at += n;
      }
      ASSERT_EQ(out, reference.Apply(data, offset)) << params.l1 << " " << offset;
    }
    EXPECT_EQ(ShaPad3(params.l1, params.l2, params.l3).Period(), int64_t{params.l1} * params.l2 * params.l3);
  }
}


// A writer and a reader with the same key carry any bytes, whatever the
// write and read sizes, across period and buffer boundaries.
TEST(ShaStream, CarriesBytesAcrossPeriods) {
  std::mt19937 random = SeededRandom();
  for (const ShaParams& params : {kSetupCipher, kConnectionCipher}) {
    const std::string data = RandomBytes(random, 300000);
    BufferStream wire;
    ShaStream writer(params.saltSize, wire, kKey, params.l1, params.l2, params.l3);
    for (size_t at = 0; at < data.size();) {
      const size_t first = std::min<size_t>(data.size() - at, random() % 30000);
      const size_t second = std::min<size_t>(data.size() - at - first, random() % 200);
      const Iovec iov[] = {{data.data() + at, static_cast<int64_t>(first)},
                           {data.data() + at + first, static_cast<int64_t>(second)}};
      writer.Writev(iov, 2);
      at += first + second;
    }
    const int64_t periods = (300000 + writer.Period() - 1) / writer.Period();
    EXPECT_EQ(wire.output.size(), 300000 + periods * 128);

    BufferStream received(wire.output);
    ShaStream reader(params.saltSize, received, kKey, params.l1, params.l2, params.l3);
    std::string out(data.size(), '\0');
    for (size_t at = 0; at < out.size();) {
      const int64_t n = reader.ReadAny(out.data() + at, 1 + random() % 40000);
      ASSERT_GT(n, 0);
      at += n;
    }
    EXPECT_EQ(out, data);
    char extra;
    EXPECT_EQ(reader.ReadAny(&extra, 1), 0);

    // Another key decrypts to other bytes; the cipher itself cannot tell.
    BufferStream again(wire.output);
    ShaStream wrong(params.saltSize, again, kKey + "!", params.l1, params.l2, params.l3);
    std::string garbled(1000, '\0');
    wrong.Read(garbled.data(), 1000);
    EXPECT_NE(garbled, data.substr(0, 1000));
  }
}

// 50000 bytes with the set-up parameters: salt, 20677, salt, 20677, salt, 8646.
TEST(ShaStream, WireLayoutOfOneLargeWrite) {
  std::mt19937 random = SeededRandom();
  const std::string data = RandomBytes(random, 50000);
  const std::string copy = data;
  BufferStream wire;
  ShaStream writer(kSetupCipher.saltSize, wire, kKey, kSetupCipher.l1, kSetupCipher.l2, kSetupCipher.l3);
  writer.Write(data.data(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(data, copy);  // the caller's bytes are not touched
  ASSERT_EQ(wire.output.size(), 50000u + 3 * 128);
  const int64_t segments[] = {20677, 20677, 8646};
  size_t at = 0, plain = 0;
  std::vector<std::string> salts;
  for (int64_t length : segments) {
    salts.push_back(wire.output.substr(at, 128));
    const ReferencePad pad(kSetupCipher, salts.back(), kKey);
    EXPECT_EQ(pad.Apply(wire.output.substr(at + 128, length), 0), data.substr(plain, length)) << at;
    at += 128 + length;
    plain += length;
  }
  EXPECT_NE(salts[0], salts[1]);
  EXPECT_NE(salts[1], salts[2]);
}

TEST(ShaStream, EmptyWritesSendNothing) {
  BufferStream wire;
  ShaStream writer(128, wire, kKey, 23, 29, 31);
  writer.Writev(nullptr, 0);
  const Iovec empties[] = {{"", 0}, {nullptr, 0}};
  writer.Writev(empties, 2);
  EXPECT_EQ(wire.writes, 0);
  EXPECT_TRUE(wire.output.empty());
  writer.Write("x", 1);
  EXPECT_EQ(wire.output.size(), 129u);
}

// The salt may arrive in pieces with time-outs between them; every time-out
// reads as 0 and the pad is keyed once the salt is whole.
TEST(ShaStream, SaltArrivingInPieces) {
  BufferStream wire;
  ShaStream writer(128, wire, kKey, 23, 29, 31);
  writer.Write("hello, world", 12);
  const std::string& w = wire.output;
  ScriptedStream inner({"", w.substr(0, 1), "", w.substr(1, 90), "", "", w.substr(91, 37) + w.substr(128, 5), "",
                        w.substr(133)});
  ShaStream reader(128, inner, kKey, 23, 29, 31);
  std::string out;
  char buffer[64];
  int zeros = 0;
  for (int call = 0; call < 12 && out.size() < 12; ++call) {
    const int64_t n = reader.ReadAny(buffer, sizeof buffer);
    if (n == 0) ++zeros;
    out.append(buffer, n);
  }
  EXPECT_EQ(out, "hello, world");
  EXPECT_EQ(zeros, 5);
}

// The accepting side has read the salt and the 48 preamble bytes itself and
// builds its reader to continue after them.
TEST(ShaStream, ReceiverContinuesAtItsOffset) {
  BufferStream wire;
  ShaStream writer(128, wire, kKey, 23, 29, 31);
  writer.Write(kPreamble, kPreambleSize);
  writer.Write("record", 6);
  const std::string salt = wire.output.substr(0, 128);
  EXPECT_TRUE(PreambleMatchesKey(salt, wire.output.data() + 128, kKey));
  EXPECT_FALSE(PreambleMatchesKey(salt, wire.output.data() + 128, "another secret"));

  BufferStream rest(wire.output.substr(128 + kPreambleSize));
  ShaStream reader(salt, kPreambleSize, rest, kKey, 23, 29, 31);
  char buffer[6];
  reader.Read(buffer, 6);
  EXPECT_EQ(std::string(buffer, 6), "record");
}

TEST(ShaStream, ReceiverOffsetAtPeriodEndStartsWithNewSalt) {
  const int64_t period = 23 * 29 * 31;
  BufferStream wire;
  ShaStream writer(128, wire, kKey, 23, 29, 31);
  const std::string first(period, 'p');
  writer.Write(first.data(), period);
  writer.Write("next", 4);
  BufferStream rest(wire.output.substr(128 + period));
  ShaStream reader(wire.output.substr(0, 128), period, rest, kKey, 23, 29, 31);
  char buffer[4];
  reader.Read(buffer, 4);
  EXPECT_EQ(std::string(buffer, 4), "next");
  EXPECT_EQ(rest.position, 128u + 4u);

  for (int64_t offset : {period + 1, int64_t{-1}}) {
    const Error e = CatchError([&] { ShaStream bad(std::string(128, 's'), offset, rest, kKey, 23, 29, 31); });
    EXPECT_EQ(e.Code(), E_ILSEQ) << offset;
    EXPECT_EQ(e.Text(), "Read position exceeds pad size") << offset;
  }
}

TEST(ShaStream, RefusesBadKeyLengthsAndSaltSizes) {
  BufferStream wire;
  EXPECT_EQ(CatchError([&] { ShaStream s(128, wire, kKey, 23, 2049, 31); }).Text(), "Invalid key length");
  EXPECT_EQ(CatchError([&] { ShaStream s(128, wire, kKey, 0, 29, 31); }).Text(), "Invalid key length");
  EXPECT_EQ(CatchError([&] { ShaStream s(0, wire, kKey, 23, 29, 31); }).Text(), "Invalid salt size");
  EXPECT_EQ(CatchError([&] { ShaStream s(std::string(), 0, wire, kKey, 23, 29, 31); }).Text(), "Invalid salt size");
}

// After a failed inner write the peer's pad is behind ours; further writes
// would only deliver garbage, so they fail.
TEST(ShaStream, WriteAfterFailedWriteFails) {
  struct FailingSink : BufferStream {
    void Writev(const Iovec* iov, int count) override {
      if (fail) OST_THROW(Error(E_PIPE, "injected"));
      BufferStream::Writev(iov, count);
    }
    bool fail = false;
  } wire;
  ShaStream writer(128, wire, kKey, 23, 29, 31);
  writer.Write("before", 6);
  wire.fail = true;
  EXPECT_EQ(CatchError([&] { writer.Write("lost", 4); }).Text(), "injected");
  wire.fail = false;
  const Error e = CatchError([&] { writer.Write("after", 5); });
  EXPECT_EQ(e.Code(), E_IO);
  EXPECT_EQ(e.Text(), "Cipher stream is out of step after a failed write");
  EXPECT_EQ(wire.output.size(), 128u + 6u);
}

TEST(ShaStream, TimeoutReadsZeroAndPassesTheResolvedTimeout) {
  ScriptedStream inner({"", ""});
  ShaStream reader(128, inner, kKey, 23, 29, 31);
  reader.SetTimeout(TimeoutMs{250});
  char buffer[8];
  EXPECT_EQ(reader.ReadAny(buffer, 8), 0);
  EXPECT_EQ(reader.ReadTimed(buffer, 8, TimeoutMs{3}), 0);
  ASSERT_EQ(inner.timeouts.size(), 2u);
  EXPECT_EQ(inner.timeouts[0], TimeoutMs{250});
  EXPECT_EQ(inner.timeouts[1], TimeoutMs{3});
  reader.Stop();
  EXPECT_EQ(inner.stops, 1);
}

TEST(ShaStream2, OwnsAndDestroysItsInnerStream) {
  bool destroyed = false;
  struct Tracked : BufferStream {
    explicit Tracked(bool& flag) : flag(flag) {}
    ~Tracked() override { flag = true; }
    bool& flag;
  };
  auto inner = std::make_unique<Tracked>(destroyed);
  Tracked* raw = inner.get();
  {
    ShaStream2 stream(128, std::move(inner), kKey, 521, 523, 541);
    stream.Write("abc", 3);
    EXPECT_EQ(raw->output.size(), 131u);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

// Both directions at once: each end writes on one thread while it reads on
// another, which is how a connection is used.
TEST(ShaStream, FullDuplexOnTwoThreadsPerEnd) {
  std::mt19937 random = SeededRandom();
  auto [a, b] = testutil::MakeStreamPair();
  ShaStream left(128, *a, kKey, 23, 29, 31);
  ShaStream right(128, *b, kKey, 23, 29, 31);
  const std::string toRight = RandomBytes(random, 200000), toLeft = RandomBytes(random, 150000);
  std::string atRight(toRight.size(), '\0'), atLeft(toLeft.size(), '\0');
  std::latch start(4);
  auto writer = [&start](ShaStream& s, const std::string& data) {
    start.arrive_and_wait();
    for (size_t at = 0; at < data.size(); at += 7000)
      s.Write(data.data() + at, std::min<int64_t>(7000, data.size() - at));
  };
  auto reader = [&start](ShaStream& s, std::string& out) {
    start.arrive_and_wait();
    s.Read(out.data(), static_cast<int64_t>(out.size()));
  };
  std::thread threads[] = {std::thread(writer, std::ref(left), std::cref(toRight)),
                           std::thread(writer, std::ref(right), std::cref(toLeft)),
                           std::thread(reader, std::ref(right), std::ref(atRight)),
                           std::thread(reader, std::ref(left), std::ref(atLeft))};
  for (auto& t : threads) t.join();
  EXPECT_EQ(atRight, toRight);
  EXPECT_EQ(atLeft, toLeft);
}

}  // namespace
}  // namespace OST
