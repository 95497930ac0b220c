// Path: a normalised, validated path of Unicode name components.
//
// The text is UTF-32, components joined by one '/', with no leading or
// trailing '/'; the root is the empty text with 0 levels. No component is
// empty, "." or "..", longer than 255 code points, or holds a character below
// 0x20, '"', '*', ':', '<', '>', '?', '|', '/' or '\'. At most 32 components.
// Ordered by level count first, then by the texts code point by code point.
//
// Thread contract: a plain value, copied freely between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/stream.h"

namespace OST {

class Path : public virtual Serializable {
 public:
  static constexpr int kMaxLevels = 32;
  static constexpr size_t kMaxComponent = 255;

  // The root.
  Path() = default;
  // Normalises and validates (E_INVAL "Name component is too long",
  // "Unresolved path with dots", "Invalid character code below 0x20 in the
  // path", "Unsupported character in the path"; E_MFILE "Too many path
  // levels"). Both '/' and '\' separate components.
  Path(std::u32string_view text);  // NOLINT: paths are built from literals everywhere
  Path(const char32_t* text);      // NOLINT
  // Stores text and level count as given, without any test.
  Path(std::u32string text, int levels);

  Path(const Path&) = default;
  Path& operator=(const Path&) = default;
  Path(Path&&) = default;
  Path& operator=(Path&&) = default;

  // UTF-8 text, converted with string8to32 and normalised.
  static Path FromUtf8(std::string_view text);

  int Levels() const { return levels_; }
  bool Empty() const { return levels_ == 0; }

  // Appends other's components; E_MFILE "Too many path levels" beyond 32.
  Path& Append(const Path& other);
  Path Join(const Path& other) const;
  // The last component as a one-level path (the root gives the root).
  Path Last() const;
  // All components but the last; the root throws E_INVAL "Root path has no parent".
  Path Parent() const;
  // Keeps the first n components and returns the rest; n outside 0..Levels()
  // throws E_INVAL "Invalid path split level".
  Path Split(int n);
  // For a one-level path: the text after the last '.', as a one-level path;
  // no '.' gives the root. Other paths throw E_INVAL "Invalid filename to get
  // extension".
  Path Ext() const;

  bool operator<(const Path& other) const;
  bool operator==(const Path& other) const { return levels_ == other.levels_ && text_ == other.text_; }
  bool operator!=(const Path& other) const { return !(*this == other); }

  std::string ToString() const;                  // "a/b"
  const std::u32string& ToString32() const { return text_; }
  std::u32string ToUnix32() const;               // "/a/b"; the root is "/"
  std::string ToUnix8() const;
  std::u32string ToNative32() const { return ToUnix32(); }
  std::string ToNative8() const { return ToUnix8(); }

  // Wire form: the text as a UTF-32 string, then the level count as int8.
  void StoreTo(ByteSink& sink) const override;
  // Refuses (E_INVAL, detail `path`) a path that is not in normal form, so a
  // peer can never name a place outside the tree it addresses.
  void LoadFrom(ByteSource& source) override;

 private:
  std::u32string text_;
  int8_t levels_ = 0;
};

std::string ToString(const Path& path);

}  // namespace OST
