#include <gtest/gtest.h>

#include <future>
#include <random>
#include <string>

#include "core/log.h"
#include "io/socket.h"
#include "link/handshake.h"
#include "link/key_exchange.h"
#include "link/shastream.h"
#include "link_test_util.h"
#include "util/memory_pipe.h"
#include "util/secure_link.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using testutil::AcceptingNode;
using testutil::ConnectingNode;
using testutil::RunSecureLinkSetup;

constexpr uint64_t kConnectorId = 0xC0FFEE0000000001;
constexpr uint64_t kAcceptorId = 0x5A;

// The full set-up over 127.0.0.1 with the right secret; the connection key
// then carries data both ways under the connection cipher.
TEST(SecureLinkSetup, RightSecretConnectsBothEnds) {
  testutil::CapturedLog log;
  LogEnabled[120] = 1;
  auto ends = RunSecureLinkSetup({"second secret", kConnectorId, 1, kAcceptorId},
                                 {{"first secret", "second secret", "third secret"}, kAcceptorId, 0});
  ASSERT_TRUE(ends.connecting.link) << ends.connecting.errorFull;
  ASSERT_TRUE(ends.accepting.link) << ends.accepting.errorFull;
  testutil::SecureLink& c = *ends.connecting.link;
  testutil::SecureLink& s = *ends.accepting.link;
  EXPECT_EQ(c.peerId, kAcceptorId);
  EXPECT_EQ(c.peerHops, 0u);
  EXPECT_EQ(s.peerId, kConnectorId);
  EXPECT_EQ(s.peerHops, 1u);
  EXPECT_EQ(s.secret, "second secret");
  EXPECT_EQ(c.key, s.key);
  ASSERT_EQ(c.key.size(), std::string("second secret").size() + kSharedKeySize);
  EXPECT_EQ(c.key.substr(0, 13), "second secret");
  EXPECT_TRUE(log.HasLineEndingWith("Key match found"));

  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  std::string data(1 << 20, '\0');
  for (char& ch : data) ch = static_cast<char>(random());
  auto cStream = c.OpenConnection();
  auto sStream = s.OpenConnection();
  cStream->SetTimeout(TimeoutMs{10000});
  sStream->SetTimeout(TimeoutMs{10000});
  auto sent = std::async(std::launch::async, [&] { cStream->Write(data.data(), static_cast<int64_t>(data.size())); });
  std::string received(data.size(), '\0');
  sStream->Read(received.data(), static_cast<int64_t>(received.size()));
  sent.get();
  EXPECT_EQ(received, data);
  sStream->Write("back", 4);
  char back[4];
  cStream->Read(back, 4);
  EXPECT_EQ(std::string(back, 4), "back");
}

TEST(SecureLinkSetup, WrongSecretIsRefusedBeforeAnyRecord) {
  auto ends = RunSecureLinkSetup({"guessed secret", kConnectorId, 0, kAcceptorId},
                                 {{"first secret", "second secret"}, kAcceptorId, 0});
  EXPECT_FALSE(ends.accepting.link);
  EXPECT_EQ(ends.accepting.errorCode, E_INVAL);
  EXPECT_EQ(ends.accepting.errorText, "Unknown peer or encryption key");
  // The acceptor hangs up; the connector sees the end (or a reset).
  EXPECT_FALSE(ends.connecting.link);
  EXPECT_TRUE(ends.connecting.errorCode == E_PIPE || ends.connecting.errorCode == E_CONNRESET)
      << ends.connecting.errorFull;
}

TEST(SecureLinkSetup, AnotherNodeAtTheAddressIsRefused) {
  auto ends = RunSecureLinkSetup({"secret", kConnectorId, 0, 0x99}, {{"secret"}, kAcceptorId, 0});
  EXPECT_FALSE(ends.connecting.link);
  EXPECT_EQ(ends.connecting.errorText, "Unexpected peer ID");
  EXPECT_NE(ends.connecting.errorFull.find("id: \"5a\""), std::string::npos) << ends.connecting.errorFull;
  EXPECT_FALSE(ends.accepting.link);
}

// An acceptor that answers under another key: the connector finds no
// preamble and stops there.
TEST(SecureLinkSetup, ReplyUnderAnotherKeyIsInvalid) {
  ServerSocket server(IpPort{0}, 4);
  auto rogue = std::async(std::launch::async, [&] {
    std::unique_ptr<DataSocket> socket = server.Accept();
    socket->SetTimeout(TimeoutMs{10000});
    char opening[128 + kPreambleSize + kHandshakeRecordSize];
    socket->Read(opening, sizeof opening);
    // The whole reply in one write, so the connector's early hang-up cannot
    // cut it.
    linktest::BufferStream reply;
    ShaStream cipher(128, reply, "other secret", 23, 29, 31);
    Handshake::Send(cipher, kRoleAccepting, kAcceptorId, 0);
    socket->Write(reply.output.data(), static_cast<int64_t>(reply.output.size()));
    char end;
    try {
      return socket->ReadAny(&end, 1) == 0;  // the connector hangs up
    } catch (const Error& e) {
      return e.Code() == E_CONNRESET;  // with the reply partly unread
    }
  });
  const Error e = linktest::CatchError(
      [&] { testutil::ConnectSecureLink(server.BoundPort(), "secret", kConnectorId, 0, kAcceptorId); });
  EXPECT_EQ(e.Code(), E_INVAL);
  EXPECT_EQ(e.Text(), "Invalid encryption key");
  EXPECT_TRUE(rogue.get());
}

// What a connector sent once, played back to the acceptor, passes the
// secret and the handshake but not the replay check.
TEST(SecureLinkSetup, RecordedConnectionPlayedBackFails) {
  // A tap that keeps a copy of everything the connector sends.
  struct Tap : public NonCopyable, public virtual Stream {
    explicit Tap(Stream& inner) : inner(inner) {}
    int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override {
      return inner.ReadTimed(buffer, length, GetTimeout(timeout));
    }
    void Writev(const Iovec* iov, int count) override {
      for (int i = 0; i < count; ++i) tape.append(static_cast<const char*>(iov[i].data), iov[i].length);
      inner.Writev(iov, count);
    }
    void Flush() override {}
    void Stop() override { inner.Stop(); }
    Stream& inner;
    std::string tape;
  };
  const std::vector<std::string> secrets = {"secret"};
  std::string tape;
  {
    auto [a, b] = testutil::MakeStreamPair(TimeoutMs{10000});
    Tap tap(*a);
    auto acceptor =
        std::async(std::launch::async, [&] { return testutil::RunAcceptingSide(*b, secrets, kAcceptorId, 0).key; });
    const std::string key = testutil::RunConnectingSide(tap, "secret", kConnectorId, 0, kAcceptorId).key;
    EXPECT_EQ(acceptor.get(), key);
    tape = tap.tape;
  }
  // The recording, up to the end of the replay check: salt, preamble and
  // record, the connector's challenge and its echo of the old challenge.
  const size_t recorded = 128 + kPreambleSize + kHandshakeRecordSize + 2 * kChallengeSize;
  ASSERT_GT(tape.size(), recorded);
  linktest::BufferStream replay(tape.substr(0, recorded));
  const Error e = linktest::CatchError([&] { testutil::RunAcceptingSide(replay, secrets, kAcceptorId, 0); });
  EXPECT_EQ(e.Code(), E_INVAL);
  EXPECT_EQ(e.Text(), "Replay connection check failed");
}

}  // namespace
}  // namespace OST
