#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/crypto.h"
#include "link/key_exchange.h"
#include "link/random.h"
#include "link/shastream.h"
#include "link_test_util.h"
#include "util/memory_pipe.h"

namespace OST {
namespace {

using linktest::CatchError;

// Runs `near` on a second thread and `far` on this one, each on one end of a
// connected pair wrapped in set-up ciphers, and returns both results.
template <typename Near, typename Far>
auto RunBothEnds(Near near, Far far) {
  auto [a, b] = testutil::MakeStreamPair(TimeoutMs{10000});
  ShaStream left(128, *a, "secret", 23, 29, 31);
  ShaStream right(128, *b, "secret", 23, 29, 31);
  auto nearResult = std::async(std::launch::async, [&] { return near(left); });
  auto farResult = far(right);
  return std::make_pair(nearResult.get(), farResult);
}

TEST(AntiReplayAttackCheck, TwoHonestEndsPass) {
  auto [near, far] = RunBothEnds([](Stream& s) { AntiReplayAttackCheck(s); return true; },
                                 [](Stream& s) { AntiReplayAttackCheck(s); return true; });
  EXPECT_TRUE(near);
  EXPECT_TRUE(far);
}

// An end that answers with anything but the echo (a replayed recording, say)
// makes the honest end fail.
TEST(AntiReplayAttackCheck, WrongEchoFails) {
  auto [error, sawChallenge] = RunBothEnds(
      [](Stream& s) { return CatchError([&] { AntiReplayAttackCheck(s); }); },
      [](Stream& s) {
        char challenge[kChallengeSize];
        s.Write(std::string(kChallengeSize, 'r').data(), kChallengeSize);  // its own challenge
        s.Read(challenge, kChallengeSize);
        challenge[kChallengeSize - 1] ^= 1;  // a wrong echo
        s.Write(challenge, kChallengeSize);
        char echo[kChallengeSize];
        s.Read(echo, kChallengeSize);
        return std::string(echo, kChallengeSize) == std::string(kChallengeSize, 'r');
      });
  EXPECT_EQ(error.Code(), E_INVAL);
  EXPECT_EQ(error.Text(), "Replay connection check failed");
  EXPECT_TRUE(sawChallenge);  // the honest end still echoed the other challenge
}

TEST(AntiReplayAttackCheck, PeerThatHangsUpFails) {
  auto [a, b] = testutil::MakeStreamPair(TimeoutMs{10000});
  b.reset();
  const Error e = CatchError([&] { AntiReplayAttackCheck(*a); });
  // Writes to a gone peer or reads from it both end the check.
  EXPECT_TRUE(e.Code() == E_PIPE) << e.FullText(',');
}

TEST(NegotiateSharedKey, BothEndsAgreeOnAFreshKey) {
  auto [near, far] = RunBothEnds([](Stream& s) { return NegotiateSharedKey(s); },
                                 [](Stream& s) { return NegotiateSharedKey(s); });
  EXPECT_EQ(near.size(), 32u);
  EXPECT_EQ(near, far);
  EXPECT_NE(near, std::string(32, '\0'));
  auto [again, unused] = RunBothEnds([](Stream& s) { return NegotiateSharedKey(s); },
                                     [](Stream& s) { return NegotiateSharedKey(s); });
  EXPECT_NE(again, near);
}

// The peer's public key decides: the null-key marker selects the marker,
// a low-order point is refused, and the honest end computes X25519.
TEST(NegotiateSharedKey, PeerKeyCases) {
  const std::string marker = NullKeyMarker();
  EXPECT_EQ(marker, std::string(32, static_cast<char>(kNullKeyByte)));
  const struct {
    std::string peerKey;
    bool fails;
  } cases[] = {{marker, false}, {std::string(32, '\0'), true}};
  for (const auto& c : cases) {
    auto [result, ownPublic] = RunBothEnds(
        [](Stream& s) {
          try {
            return std::make_pair(NegotiateSharedKey(s), std::string());
          } catch (const Error& e) {
            return std::make_pair(std::string(), e.Text());
          }
        },
        [&](Stream& s) {
          std::string theirs(32, '\0');
          s.Write(c.peerKey.data(), 32);
          s.Read(theirs.data(), 32);
          return theirs;
        });
    if (c.fails) {
      EXPECT_EQ(result.second, "Peer public key is a low-order point");
    } else {
      EXPECT_EQ(result.first, marker);
      EXPECT_EQ(result.second, "");
    }
    EXPECT_NE(ownPublic, c.peerKey);
  }
}

TEST(Random, GivesFreshBytesOfTheAskedSize) {
  EXPECT_EQ(Rng().RandomString(0), "");
  EXPECT_EQ(Rng().RandomString(-3), "");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) seen.insert(Rng().RandomString(16));
  EXPECT_EQ(seen.size(), 100u);
  // Every byte value turns up in 64 KiB, and no value dominates.
  const std::string bytes = Rng().RandomString(65536);
  std::vector<int> counts(256);
  for (unsigned char c : bytes) ++counts[c];
  for (int value = 0; value < 256; ++value) {
    EXPECT_GT(counts[value], 100) << value;
    EXPECT_LT(counts[value], 420) << value;
  }
  char buffer[4] = {1, 2, 3, 4};
  Rng().GetRandomBytes(buffer, 0);
  EXPECT_EQ(std::string(buffer, 4), "\x01\x02\x03\x04");
  EXPECT_EQ(&Rng(), &Rng());
}

TEST(Random, SharedByManyThreads) {
  std::vector<std::future<std::string>> results;
  for (int t = 0; t < 4; ++t) {
    results.push_back(std::async(std::launch::async, [] {
      std::string all;
      for (int i = 0; i < 200; ++i) all += Rng().RandomString(32);
      return all;
    }));
  }
  std::set<std::string> blocks;
  for (auto& result : results) {
    const std::string all = result.get();
    for (size_t at = 0; at < all.size(); at += 32) blocks.insert(all.substr(at, 32));
  }
  EXPECT_EQ(blocks.size(), 800u);
}

}  // namespace
}  // namespace OST
