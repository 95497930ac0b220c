#include "config/config.h"

#include <algorithm>
#include <set>

#include "config/json.h"
#include "core/error.h"
#include "core/format.h"
#include "core/text.h"

namespace OST {
namespace {

using ShareMap = std::map<std::string, ShareCfg>;

bool IsNested(const JsonValue& value) { return value.kind == JSON_OBJECT || value.kind == JSON_ARRAY; }

[[noreturn]] void ThrowUnknownField(const std::string& name, const JsonValue& value) {
  OST_THROW(Error(E_INVAL, "Unknown field").Add("field", name).Add("value", value.text));
}

// Leading blanks are skipped and anything after the digits is ignored, as
// the file format has always allowed ("4000 " or "4000/tcp" read as 4000).
// A value with no digits, or one that is no TCP port, is refused rather than
// turned into 0 (no listening) or cut to 16 bits (some other port).
int32_t ParseListen(const std::string& text) try {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 65535) break;
  }
  if (i == digits || value > 65535 || (negative && value != 0)) {
    OST_THROW(Error(E_INVAL, "Invalid listen port").Add("listen", text));
  }
  return static_cast<int32_t>(value);
}
OST_TRAIL

class ConfigParser {
 public:
  ConfigParser(buffer_context& context, Config& config) : context_(context), config_(config) {}

  void Run() {
    ReadObject(context_, [this](const std::string& name, const JsonValue& value) { TopMember(name, value); });
  }

 private:
  // Scalars given as an object or array are left unparsed on purpose: the
  // reader then refuses them with "Nested object or array not parsed".
  void TopMember(const std::string& name, const JsonValue& value) {
    if (name == "id") {
      if (!IsNested(value)) config_.id = HexFromString(value.text);
    } else if (name == "listen") {
      if (!IsNested(value)) config_.listen = ParseListen(value.text);
    } else if (name == "relays") {
      ReadTextList(config_.relays);
    } else if (name == "templates") {
      ReadArray(context_, [this](const JsonValue&) { ReadTemplate(); });
    } else if (name == "peers") {
      ReadArray(context_, [this](const JsonValue&) { ReadPeer(); });
    } else {
      ThrowUnknownField(name, value);
    }
  }

  void ReadTextList(std::vector<std::u32string>& into) {
    ReadArray(context_, [&into](const JsonValue& value) {
      if (!IsNested(value)) into.push_back(string8to32(value.text));
    });
  }

  static void AddShare(ShareMap& into, const ShareCfg& share) {
    const std::string key = share.name.ToString();
    if (!into.emplace(key, share).second) {
      OST_THROW(Error(E_EXIST, "Duplicate share point name").Add("name", key));
    }
  }

  // A shares list: share objects and names of templates defined earlier.
  void ReadShares(ShareMap& into) {
    ReadArray(context_, [this, &into](const JsonValue& value) {
      if (value.kind == JSON_OBJECT) {
        AddShare(into, ReadShare());
      } else if (value.kind != JSON_ARRAY) {
        const auto found = templates_.find(value.text);
        if (found == templates_.end()) OST_THROW(Error(E_INVAL, "Share is not defined").Add("share", value.text));
        for (const auto& [key, share] : found->second.shares) AddShare(into, share);
      }
    });
  }

  ShareCfg ReadShare() {
    ShareCfg share;
    ReadObject(context_, [&share](const std::string& name, const JsonValue& value) {
      if (name == "name") {
        if (!IsNested(value)) share.name = Path::FromUtf8(value.text);
      } else if (name == "path") {
        if (!IsNested(value)) share.path = Path::FromUtf8(value.text);
      } else if (name == "write") {
        share.write = value.integer != 0;
      } else {
        ThrowUnknownField(name, value);
      }
    });
    if (share.name.Empty()) {
      if (share.path.Empty()) OST_THROW(Error(E_INVAL, "Share name for root path should not be empty"));
      share.name = share.path.Last();
    }
    return share;
  }

  void ReadTemplate() {
    TemplateCfg tmpl;
    ReadObject(context_, [this, &tmpl](const std::string& name, const JsonValue& value) {
      if (name == "name") {
        if (!IsNested(value)) tmpl.name = value.text;
      } else if (name == "shares") {
        ReadShares(tmpl.shares);
      } else {
        ThrowUnknownField(name, value);
      }
    });
    if (tmpl.name.empty()) OST_THROW(Error(E_INVAL, "Template name is not specified"));
    const std::string key = tmpl.name;
    if (!templates_.emplace(key, std::move(tmpl)).second) {
      OST_THROW(Error(E_EXIST, "Duplicate share name").Add("name", key));
    }
  }

  void ReadPeer() {
    PeerCfg peer;
    ShareMap shares;
    std::set<std::string> writes;
    ReadObject(context_, [&](const std::string& name, const JsonValue& value) {
      if (name == "id") {
        if (!IsNested(value)) peer.id = HexFromString(value.text);
      } else if (name == "name") {
        if (!IsNested(value)) peer.name = value.text;
      } else if (name == "secret") {
        if (!IsNested(value)) peer.secret = value.text;
      } else if (name == "shares") {
        ReadShares(shares);
      } else if (name == "writes") {
        ReadArray(context_, [&writes](const JsonValue& item) {
          if (!IsNested(item)) writes.insert(item.text);
        });
      } else if (name == "addrs") {
        ReadTextList(peer.addrs);
      } else {
        ThrowUnknownField(name, value);
      }
    });
    if (peer.id == 0) OST_THROW(Error(E_INVAL, "Peer ID is not specified"));
    if (peer.name.empty()) peer.name = HexToString(peer.id, true);
    // The shares are this peer's own copies, so a grant here never reaches
    // the template they came from.
    for (const std::string& write : writes) {
      const auto found = shares.find(write);
      if (found == shares.end()) OST_THROW(Error(E_INVAL, "Unknown share for write access").Add("share", write));
      found->second.write = true;
    }
    for (auto& [key, share] : shares) peer.shares.push_back(std::move(share));
    config_.peers.push_back(std::move(peer));
  }

  buffer_context& context_;
  Config& config_;
  std::map<std::string, TemplateCfg> templates_;  // the templates defined so far
};

[[noreturn]] void ThrowParseFailure(const std::string& body, const char* what, size_t offset) {
  size_t line = 0;
  size_t column = 0;
  TextPosition(body, offset, line, column);
  OST_THROW(Error(E_PARSE, "Could not parse configuration")
                .Add("what", what)
                .Add("offset", std::to_string(offset))
                .Add("line", std::to_string(line))
                .Add("column", std::to_string(column)));
}

}  // namespace

const PeerCfg* Config::FindPeerCfgById(uint64_t peerId) const {
  const auto found = byId_.find(peerId);
  return found == byId_.end() ? nullptr : &peers[found->second];
}

const PeerCfg* Config::FindPeerCfgByName(const std::string& peerName) const {
  const auto found = byName_.find(peerName);
  return found == byName_.end() ? nullptr : &peers[found->second];
}

const PeerCfg& Config::PeerCfgById(uint64_t peerId) const try {
  const PeerCfg* peer = FindPeerCfgById(peerId);
  if (peer == nullptr) OST_THROW(Error(E_NOENT, "Peer not found").Add("id", HexToString(peerId, false)));
  return *peer;
}
OST_TRAIL

void Config::BuildIndexes() try {
  byName_.clear();
  byId_.clear();
  std::map<std::string, size_t> byName;
  std::map<uint64_t, size_t> byId;
  for (size_t i = 0; i < peers.size(); ++i) {
    const PeerCfg& peer = peers[i];
    if (!byName.emplace(peer.name, i).second) {
      OST_THROW(Error(E_EXIST, "Duplicate peer name").Add("name", peer.name).Add("id", HexToString(peer.id, false)));
    }
    if (!byId.emplace(peer.id, i).second) {
      OST_THROW(Error(E_EXIST, "Duplicate peer id").Add("id", HexToString(peer.id, false)).Add("name", peer.name));
    }
  }
  byName_ = std::move(byName);
  byId_ = std::move(byId);
}
OST_TRAIL

void TextPosition(const std::string& text, size_t offset, size_t& line, size_t& column) {
  // Index of the last line break at or before the offset, plus one (0: the
  // start of the text, which counts as a break at index -1).
  size_t afterBreak = 0;
  const size_t end = std::min(offset + 1, text.size());
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\r' || text[i] == '\n') afterBreak = i + 1;
  }
  column = offset + 1 - afterBreak;
  line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + afterBreak, '\n'));
}

std::unique_ptr<Config> ParseConfig(const std::string& text) try {
  std::string body = text;
  if (body.size() >= 3 && body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
  auto config = std::make_unique<Config>();
  buffer_context context(body);
  ConfigParser parser(context, *config);
  try {
    parser.Run();
  } catch (const parse_error& e) {
    ThrowParseFailure(body, e.what(), e.Offset());
  } catch (const unexpected_end& e) {
    ThrowParseFailure(body, e.what(), e.Offset());
  }
  config->BuildIndexes();
  return config;
}
OST_TRAIL

std::string ToString(const ShareCfg& share) {
  return "{name=" + share.name.ToString() + ",path=" + share.path.ToString() +
         ",write=" + (share.write ? "true" : "false") + "}";
}

std::string ToString(const PeerCfg& peer) {
  return "{name=" + peer.name + ",id=" + HexToString(peer.id, false) + ",shares=" + ToString(peer.shares) +
         ",addrs=" + ToString(peer.addrs) + "}";
}

std::string ToString(const Config& config) {
  return "{id=" + HexToString(config.id, false) + ",listen=" + std::to_string(config.listen) +
         ",relays=" + ToString(config.relays) + ",peers=" + ToString(config.peers) + "}";
}

}  // namespace OST
