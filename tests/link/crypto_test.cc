#include <gtest/gtest.h>

#include <string>

#include "link/crypto.h"
#include "link_test_util.h"

namespace OST {
namespace {

using linktest::Bytes;
using linktest::CatchError;
using linktest::FromHex;
using linktest::ToHex;

std::string Sha256Hex(const std::string& data) {
  uint8_t digest[kSha256Size];
  sha256(data.data(), data.size(), digest);
  return ToHex(digest, sizeof digest);
}

std::string X25519Hex(const std::string& scalar, const std::string& point) {
  uint8_t out[kX25519Size];
  x25519(out, Bytes(scalar), Bytes(point));
  return ToHex(out, sizeof out);
}

// FIPS 180-4 examples (one-block and two-block messages) and the empty input.
TEST(Sha256, PublishedDigests) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, IncrementalEqualsOneShotAtEverySplit) {
  std::string data;
  for (int i = 0; i < 150; ++i) data += static_cast<char>(i * 7 + 3);
  const std::string expected = Sha256Hex(data);
  for (size_t split = 0; split <= data.size(); split += 13) {
    Sha256Context context;
    sha256_init(context);
    sha256_update(context, data.data(), split);
    Sha256Context copy = context;  // a copied context continues on its own
    sha256_update(context, data.data() + split, data.size() - split);
    uint8_t digest[kSha256Size];
    sha256_final(context, digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), expected) << split;
    sha256_update(copy, data.data() + split, data.size() - split);
    sha256_final(copy, digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), expected) << split;
  }
}

// RFC 7748 section 5.2: two single multiplications (the second with the top
// bit of the u-coordinate set, which must be ignored).
TEST(X25519, Rfc7748Section52Vectors) {
  EXPECT_EQ(X25519Hex(FromHex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
                      FromHex("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c")),
            "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
  EXPECT_EQ(X25519Hex(FromHex("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"),
                      FromHex("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493")),
            "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

// RFC 7748 section 5.2, iterated: k = u = 9; k, u <- X25519(k, u), k.
TEST(X25519, Rfc7748Section52Iterations) {
  std::string k = FromHex("0900000000000000000000000000000000000000000000000000000000000000");
  std::string u = k;
  for (int i = 1; i <= 1000; ++i) {
    std::string next(kX25519Size, '\0');
    x25519(reinterpret_cast<uint8_t*>(next.data()), Bytes(k), Bytes(u));
    u = k;
    k = next;
    if (i == 1) {
      EXPECT_EQ(ToHex(k.data(), k.size()), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
    }
  }
  EXPECT_EQ(ToHex(k.data(), k.size()), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

// RFC 7748 section 6.1: both public keys and the shared secret, both ways.
TEST(X25519, Rfc7748Section61DiffieHellman) {
  const std::string alice = FromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const std::string bob = FromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  uint8_t alicePublic[kX25519Size], bobPublic[kX25519Size];
  x25519_base(alicePublic, Bytes(alice));
  x25519_base(bobPublic, Bytes(bob));
  EXPECT_EQ(ToHex(alicePublic, kX25519Size), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(ToHex(bobPublic, kX25519Size), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(X25519Hex(alice, std::string(reinterpret_cast<char*>(bobPublic), kX25519Size)), shared);
  EXPECT_EQ(X25519Hex(bob, std::string(reinterpret_cast<char*>(alicePublic), kX25519Size)), shared);
  // The base-point form is the general form with u = 9.
  EXPECT_EQ(X25519Hex(alice, std::string(reinterpret_cast<const char*>(kX25519BasePoint), kX25519Size)),
            ToHex(alicePublic, kX25519Size));
}

// Points of small order give an all-zero value, which would make the
// agreed key public; they are refused.
TEST(X25519, LowOrderPointsAreRefused) {
  const std::string scalar = FromHex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  const std::string points[] = {
      std::string(32, '\0'),                                                      // u = 0
      FromHex("0100000000000000000000000000000000000000000000000000000000000000"),  // u = 1
      FromHex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // u = p - 1
      FromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),  // order 8
  };
  for (const std::string& point : points) {
    const Error e = CatchError([&] { X25519Hex(scalar, point); });
    EXPECT_EQ(e.Code(), E_INVAL) << ToHex(point.data(), point.size());
    EXPECT_EQ(e.Text(), "Peer public key is a low-order point");
  }
}

}  // namespace
}  // namespace OST
