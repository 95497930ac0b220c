#include "util/secure_link.h"

#include <functional>
#include <future>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "link/handshake.h"
#include "link/key_exchange.h"

namespace OST::testutil {
namespace {

constexpr IpAddr kLoopback{0x7F000001};
constexpr TimeoutMs kConnectTimeout{8000};


SecureLinkOutcome Outcome(const std::function<SecureLink()>& side) {
  SecureLinkOutcome outcome;
  try {
    outcome.link = std::make_unique<SecureLink>(side());
  } catch (const Error& e) {
    outcome.errorCode = e.Code();
    outcome.errorText = e.Text();
    outcome.errorFull = e.FullText(',');
  }
  return outcome;
}

}  // namespace

std::unique_ptr<ShaStream2> SecureLink::OpenConnection() {
  const ShaParams& p = kConnectionCipher;
  return std::make_unique<ShaStream2>(p.saltSize, std::move(socket), key, p.l1, p.l2, p.l3);
}

SecureLink RunConnectingSide(Stream& stream, const std::string& secret, uint64_t ownId, uint32_t ownHops,
                             uint64_t expectedPeerId) try {
  const ShaParams& p = kSetupCipher;
  ShaStream cipher(p.saltSize, stream, secret, p.l1, p.l2, p.l3);
  Handshake::Send(cipher, kRoleConnecting, ownId, ownHops);
  char preamble[kPreambleSize];
  cipher.Read(preamble, kPreambleSize);
  if (!IsPreamble(preamble)) OST_THROW(Error(E_INVAL, "Invalid encryption key"));
  const Handshake peer(cipher, kRoleAccepting);
  if (peer.id != expectedPeerId) {
    OST_THROW(Error(E_INVAL, "Unexpected peer ID").Add("id", HexToString(peer.id, false)));
  }
  AntiReplayAttackCheck(cipher);
  SecureLink link;
  link.secret = secret;
  link.key = secret + NegotiateSharedKey(cipher);
  link.peerId = peer.id;
  link.peerHops = peer.hops;
  return link;
}
OST_TRAIL

SecureLink RunAcceptingSide(Stream& stream, const std::vector<std::string>& secrets, uint64_t ownId,
                            uint32_t ownHops, TimeoutMs firstByteTimeout) try {
  const ShaParams& p = kSetupCipher;
  std::string salt(p.saltSize, '\0');
  stream.SetTimeout(firstByteTimeout);
  stream.Read(salt.data(), 1);
  stream.SetTimeout(kSetupReadTimeout);
  stream.Read(salt.data() + 1, p.saltSize - 1);
  char encrypted[kPreambleSize];
  stream.Read(encrypted, kPreambleSize);
  const std::string* secret = nullptr;
  for (const std::string& candidate : secrets) {
    if (PreambleMatchesKey(salt, encrypted, candidate)) {
      secret = &candidate;
      break;
    }
  }
  if (!secret) OST_THROW(Error(E_INVAL, "Unknown peer or encryption key"));
  OST_LOG(120, "Key match found");
  ShaStream cipher(salt, kPreambleSize, stream, *secret, p.l1, p.l2, p.l3);
  const Handshake peer(cipher, kRoleConnecting);
  Handshake::Send(cipher, kRoleAccepting, ownId, ownHops);
  AntiReplayAttackCheck(cipher);
  SecureLink link;
  link.secret = *secret;
  link.key = *secret + NegotiateSharedKey(cipher);
  link.peerId = peer.id;
  link.peerHops = peer.hops;
  return link;
}
OST_TRAIL

SecureLink ConnectSecureLink(IpPort port, const std::string& secret, uint64_t ownId, uint32_t ownHops,
                             uint64_t expectedPeerId) try {
  ConnectSocket connector;
  std::unique_ptr<DataSocket> socket = connector.Connect(kLoopback, port, kConnectTimeout);
  socket->SetTimeout(kSetupReadTimeout);
  SecureLink link = RunConnectingSide(*socket, secret, ownId, ownHops, expectedPeerId);
  link.socket = std::move(socket);
  return link;
}
OST_TRAIL

SecureLink AcceptSecureLink(std::unique_ptr<DataSocket> socket, const std::vector<std::string>& secrets,
                            uint64_t ownId, uint32_t ownHops, TimeoutMs firstByteTimeout) try {
  SecureLink link = RunAcceptingSide(*socket, secrets, ownId, ownHops, firstByteTimeout);
  link.socket = std::move(socket);
  return link;
}
OST_TRAIL

SecureLinkEnds RunSecureLinkSetup(const ConnectingNode& connecting, const AcceptingNode& accepting) {
  SecureLinkEnds ends;
  ServerSocket server(IpPort{0}, 4);
  const IpPort port = server.BoundPort();
  auto acceptSide = std::async(std::launch::async, [&] {
    return Outcome([&] { return AcceptSecureLink(server.Accept(), accepting.secrets, accepting.id, accepting.hops); });
  });
  ends.connecting = Outcome([&] {
    return ConnectSecureLink(port, connecting.secret, connecting.id, connecting.hops, connecting.expectedPeerId);
  });
  // An Accept still waiting (the connect failed) ends now; an accepted
  // connection is not affected.
  server.Stop();
  ends.accepting = acceptSide.get();
  return ends;
}

}  // namespace OST::testutil
