#include "core/path.h"

#include <algorithm>

#include "core/error.h"
#include "core/serialize.h"
#include "core/text.h"

namespace OST {
namespace {

bool IsSeparator(char32_t c) { return c == U'/' || c == U'\\'; }

bool IsAsciiLetter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }

bool IsUnsupported(char32_t c) {
  return c == U'"' || c == U'*' || c == U':' || c == U'<' || c == U'>' || c == U'?' || c == U'|';
}

void CheckLevels(int levels) {
  if (levels > Path::kMaxLevels) OST_THROW(Error(E_MFILE, "Too many path levels"));
}

}  // namespace

Path::Path(const char32_t* text) : Path(std::u32string_view(text)) {}

Path::Path(std::u32string_view text) try {
  if (text.starts_with(U"\\\\?\\") || text.starts_with(U"//?/")) text.remove_prefix(4);
  int levels = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsSeparator(text[pos])) ++pos;
    if (pos == text.size()) break;
    size_t end = pos;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::u32string_view component = text.substr(pos, end - pos);
    pos = end;

    if (component.size() > kMaxComponent) OST_THROW(Error(E_INVAL, "Name component is too long"));
    if (component == U"." || component == U"..") OST_THROW(Error(E_INVAL, "Unresolved path with dots"));
    if (levels == 0 && component.size() == 2 && IsAsciiLetter(component[0]) && component[1] == U':') {
      component = component.substr(0, 1);  // a drive name such as C: becomes C
    }
    if (!text_.empty()) text_ += U'/';
    text_ += component;
    ++levels;
    for (char32_t c : component) {
      if (c < 0x20) {
        OST_THROW(Error(E_INVAL, "Invalid character code below 0x20 in the path").Add("path", string32to8(text_)));
      }
      if (IsUnsupported(c)) {
        OST_THROW(Error(E_INVAL, "Unsupported character in the path").Add("path", string32to8(text_)));
      }
    }
  }
  CheckLevels(levels);
  levels_ = static_cast<int8_t>(levels);
}
OST_TRAIL

Path::Path(std::u32string text, int levels) : text_(std::move(text)), levels_(static_cast<int8_t>(levels)) {}

Path Path::FromUtf8(std::string_view text) try { return Path(string8to32(text)); }
OST_TRAIL

Path& Path::Append(const Path& other) try {
  if (other.Empty()) return *this;
  CheckLevels(levels_ + other.levels_);
  if (!Empty()) text_ += U'/';
  text_ += other.text_;
  levels_ = static_cast<int8_t>(levels_ + other.levels_);
  return *this;
}
OST_TRAIL

Path Path::Join(const Path& other) const try {
  Path result(*this);
  result.Append(other);
  return result;
}
OST_TRAIL

Path Path::Last() const {
  if (levels_ <= 1) return *this;
  return Path(text_.substr(text_.rfind(U'/') + 1), 1);
}

Path Path::Parent() const try {
  if (Empty()) OST_THROW(Error(E_INVAL, "Root path has no parent"));
  if (levels_ == 1) return Path();
  return Path(text_.substr(0, text_.rfind(U'/')), levels_ - 1);
}
OST_TRAIL

Path Path::Split(int n) try {
  if (n < 0 || n > levels_) OST_THROW(Error(E_INVAL, "Invalid path split level"));
  if (n == levels_) return Path();
  if (n == 0) {
    Path rest(std::move(*this));
    *this = Path();
    return rest;
  }
  size_t cut = 0;
  for (int i = 0; i < n; ++i) cut = text_.find(U'/', i == 0 ? 0 : cut + 1);
  Path rest(text_.substr(cut + 1), levels_ - n);
  text_.resize(cut);
  levels_ = static_cast<int8_t>(n);
  return rest;
}
OST_TRAIL

Path Path::Ext() const try {
  if (levels_ != 1) OST_THROW(Error(E_INVAL, "Invalid filename to get extension"));
  const size_t dot = text_.rfind(U'.');
  if (dot == std::u32string::npos) return Path();
  return Path(text_.substr(dot + 1), 1);
}
OST_TRAIL

bool Path::operator<(const Path& other) const {
  if (levels_ != other.levels_) return levels_ < other.levels_;
  return text_ < other.text_;
}

std::string Path::ToString() const { return string32to8(text_); }

std::u32string Path::ToUnix32() const { return U"/" + text_; }

std::string Path::ToUnix8() const { return "/" + string32to8(text_); }

void Path::StoreTo(ByteSink& sink) const try {
  Serializer::Store(sink, text_);
  Serializer::Store(sink, levels_);
}
OST_TRAIL

void Path::LoadFrom(ByteSource& source) try {
  std::u32string text;
  int8_t levels = 0;
  Serializer::Load(source, text);
  Serializer::Load(source, levels);
  Path normal;
  bool normalForm = false;
  try {
    normal = Path(text);
    normalForm = normal.text_ == text && normal.levels_ == levels;
  } catch (const Error&) {
    // Refused below with the received text: whatever the rule it breaks,
    // the path did not come in normal form.
  }
  if (!normalForm) {
    std::string shown;
    try {
      shown = string32to8(text);
    } catch (const Error&) {
      shown = "?";
    }
    OST_THROW(Error(E_INVAL, "Path is not in normal form").Add("path", shown));
  }
  *this = std::move(normal);
}
OST_TRAIL

std::string ToString(const Path& path) { return path.ToString(); }

}  // namespace OST
