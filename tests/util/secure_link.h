// The whole connection set-up between two nodes, for tests: connect, the
// set-up cipher keyed with a shared secret, the handshake both ways, key
// recognition on the accepting side, the replay check and the key agreement,
// ending with the bare socket and the connection key for the cipher that
// carries the rest of the connection. Runs over real TCP sockets on
// 127.0.0.1 only.
//
// Thread contract: each side runs on one thread; RunSecureLinkSetup runs the
// accepting side on a thread of its own and joins it before it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/typed_int.h"
#include "io/socket.h"
#include "link/handshake.h"
#include "link/shastream.h"

namespace OST::testutil {

// One side's result of a completed set-up.
struct SecureLink {
  std::unique_ptr<DataSocket> socket;  // bare; the set-up cipher is gone
  std::string secret;                  // the secret the set-up used
  std::string key;                     // the connection key: secret, then the agreed 32 bytes
  uint64_t peerId = 0;                 // from the peer's handshake record
  uint32_t peerHops = 0;

  // Wraps the socket in the established-connection cipher keyed with `key`;
  // the result owns the socket.
  std::unique_ptr<ShaStream2> OpenConnection();
};

// The connecting side's steps after the TCP connect, on any stream: sends
// its handshake with role 0 through a set-up cipher keyed with `secret`,
// expects the preamble and a role-1 record from `expectedPeerId`, then runs
// the replay check and the key agreement. Returns the link without a socket.
// Errors as ConnectSecureLink.
SecureLink RunConnectingSide(Stream& stream, const std::string& secret, uint64_t ownId, uint32_t ownHops,
                             uint64_t expectedPeerId);
// The accepting side's steps on any stream. Returns the link without a
// socket. Errors as AcceptSecureLink.
SecureLink RunAcceptingSide(Stream& stream, const std::vector<std::string>& secrets, uint64_t ownId,
                            uint32_t ownHops, TimeoutMs firstByteTimeout = kSetupReadTimeout);

// The connecting side: connects to 127.0.0.1:port, sends its handshake with
// role 0 through a set-up cipher keyed with `secret`, expects the preamble
// and a role-1 record from `expectedPeerId`, then runs the replay check and
// the key agreement. Throws E_INVAL "Invalid encryption key" when the reply
// does not decrypt to the preamble, E_INVAL "Unexpected peer ID" (detail
// `id`, hexadecimal) for another peer, and every error of the steps.
SecureLink ConnectSecureLink(IpPort port, const std::string& secret, uint64_t ownId, uint32_t ownHops,
                             uint64_t expectedPeerId);

// The accepting side on an accepted socket: reads the first byte of the
// peer's salt within `firstByteTimeout`, the rest of it and the 48 preamble
// bytes within the set-up time-out, finds the first of `secrets` that
// decrypts them to the preamble ("Key match found", category 120), reads the
// role-0 record, answers with its own role-1 record, then runs the replay
// check and the key agreement. Throws E_INVAL "Unknown peer or encryption
// key" when no secret matches, and every error of the steps.
SecureLink AcceptSecureLink(std::unique_ptr<DataSocket> socket, const std::vector<std::string>& secrets,
                            uint64_t ownId, uint32_t ownHops, TimeoutMs firstByteTimeout = kSetupReadTimeout);

// One side's outcome: the link, or the error it ended with.
struct SecureLinkOutcome {
  std::unique_ptr<SecureLink> link;  // null when the side failed
  uint32_t errorCode = 0;            // E_OK (0) on success
  std::string errorText;             // the Error's text
  std::string errorFull;             // FullText(','), for failure messages
};

struct SecureLinkEnds {
  SecureLinkOutcome connecting;
  SecureLinkOutcome accepting;
};

struct ConnectingNode {
  std::string secret;
  uint64_t id = 0;
  uint32_t hops = 0;
  uint64_t expectedPeerId = 0;
};

struct AcceptingNode {
  std::vector<std::string> secrets;
  uint64_t id = 0;
  uint32_t hops = 0;
};

// Listens on an ephemeral port, runs the accepting side on a thread and the
// connecting side on this one, and returns both outcomes. Never throws for a
// failed side; both sides are finished (and the listening socket closed) on
// return.
SecureLinkEnds RunSecureLinkSetup(const ConnectingNode& connecting, const AcceptingNode& accepting);

}  // namespace OST::testutil
