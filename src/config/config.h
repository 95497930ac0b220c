// The network configuration: what this node is, where it listens, which
// relays it may use, and every peer with its secret, its addresses and the
// shares this node offers to it.
//
// ParseConfig turns the JSON text of a configuration file into a Config; the
// rest of the program reads only Config. The same text form serves the
// node's own file, the files a configuration server keeps for other nodes,
// and configurations exchanged between nodes.
//
// The file is one JSON object (a leading UTF-8 byte-order mark is skipped,
// text after its closing brace is not read). Keys are case-sensitive; an
// unknown key anywhere is refused; a key given twice is handled twice
// (scalars are overwritten, lists appended). Top level: "id" (hex),
// "listen" (decimal port), "relays" (list), "templates" (named share lists,
// usable by name in any later shares list), "peers". A peer: "id" (hex,
// required, not 0), "name" (default: the id as 0x-prefixed hex), "secret",
// "shares", "writes" (names of its shares it may change), "addrs". A share:
// "name" (default: the last component of "path"), "path" (default: the host
// root), "write" (granted by true or a non-zero integer).
//
// Thread contract: records are plain values; a Config is read by any number
// of threads once it is built and is not changed afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/path.h"

namespace OST {

// One share offered to a peer.
struct ShareCfg {
  Path name;           // the mount name of the share (one component to be mountable)
  Path path;           // host directory; the root path is the host root
  bool write = false;  // the peer may change the share

  bool operator==(const ShareCfg& other) const = default;
};

// A named group of shares, usable by name wherever a shares list is expected.
struct TemplateCfg {
  std::string name;
  std::map<std::string, ShareCfg> shares;  // keyed by the share name's text
};

// One peer node.
struct PeerCfg {
  uint64_t id = 0;                  // never 0 in a parsed configuration
  std::string name;                 // unique among the peers
  std::string secret;               // shared with that peer; never logged
  std::vector<ShareCfg> shares;     // ordered by name text (byte order), names unique
  std::vector<std::u32string> addrs;  // host and port texts, in file order
};

// The whole configuration. Built by ParseConfig, which also builds the two
// peer indexes; code that edits `peers` afterwards must call BuildIndexes.
class Config {
 public:
  uint64_t id = 0;     // this node; 0 when the file gives none
  int32_t listen = 0;  // TCP port for incoming peer connections; 0: no listening
  std::vector<std::u32string> relays;  // relay addresses, in file order
  std::vector<PeerCfg> peers;          // in file order

  // The peer with that id or name, or nullptr. The pointer stays valid while
  // the Config lives and `peers` is not changed.
  const PeerCfg* FindPeerCfgById(uint64_t peerId) const;
  const PeerCfg* FindPeerCfgByName(const std::string& peerName) const;
  // The peer with that id; E_NOENT "Peer not found" (detail `id`, hex
  // without prefix) when there is none.
  const PeerCfg& PeerCfgById(uint64_t peerId) const;

  // Rebuilds both indexes from `peers`, in order. Throws E_EXIST "Duplicate
  // peer name" (details `name`, `id`) or "Duplicate peer id" (`id`, `name`);
  // the name is tested first. On failure the indexes are left empty.
  void BuildIndexes();

 private:
  // Positions in `peers`.
  std::map<std::string, size_t> byName_;
  std::map<uint64_t, size_t> byId_;
};

// Parses a configuration text. Throws:
// - E_PARSE "Could not parse configuration" (details `what`: the reader's
//   message, `offset`: 0-based byte offset after a byte-order mark, `line`,
//   `column`) for text that is not acceptable JSON or the wrong JSON kind for
//   a key, and for text that ends inside the object;
// - E_INVAL "Unknown field" (`field`, `value`), "Template name is not
//   specified", "Share is not defined" (`share`), "Share name for root path
//   should not be empty", "Peer ID is not specified", "Unknown share for
//   write access" (`share`), "Invalid listen port" (`listen`);
// - E_EXIST "Duplicate share name" (`name`, a template), "Duplicate share
//   point name" (`name`), "Duplicate peer name", "Duplicate peer id";
// - the errors of HexFromString (hex values) and Path (share names and
//   paths) unchanged.
// No partial configuration is returned. The caller owns the result.
std::unique_ptr<Config> ParseConfig(const std::string& text);

// The line and column of a byte offset: the column counts from 1 after the
// last carriage return or line feed at or before the offset (an offset on a
// line break is column 0); the line is 1 plus the line feeds up to that
// break.
void TextPosition(const std::string& text, size_t offset, size_t& line, size_t& column);

// "{name=docs,path=srv/docs,write=true}"
std::string ToString(const ShareCfg& share);
// "{name=bob,id=1a,shares=[...],addrs=[...]}"; the secret is never shown.
std::string ToString(const PeerCfg& peer);
// "{id=1,listen=4000,relays=[...],peers=[...]}"
std::string ToString(const Config& config);

}  // namespace OST
