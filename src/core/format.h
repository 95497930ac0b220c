// Message formatting: Format fills each "{}" of a format string with the text
// form (ToString) of the next argument. Surplus arguments are appended at the
// end, each after one blank; left-over "{}" stay as they are.
//
// Types defined elsewhere (Path, Stat, addresses, configuration records)
// declare their own ToString next to the type; Format finds them by
// argument-dependent lookup. Thread contract: pure functions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/typed_int.h"

namespace OST {

// Integers, bool and enumerations: the value as a signed 64-bit decimal
// (an unsigned value above INT64_MAX prints negative).
template <typename T>
  requires(std::is_integral_v<T> || std::is_enum_v<T>)
std::string ToString(T value) {
  return std::to_string(static_cast<int64_t>(value));
}

inline std::string ToString(const std::string& text) { return text; }
inline std::string ToString(std::string_view text) { return std::string(text); }
inline std::string ToString(const char* text) { return text ? std::string(text) : std::string(); }
inline std::string ToString(char* text) { return ToString(static_cast<const char*>(text)); }
std::string ToString(const std::u32string& text);  // converted to UTF-8
std::string ToString(TimeoutMs timeout);           // "250ms"

// Other tagged integers: the value in decimal.
template <typename T, int Kind>
std::string ToString(TypedInt<T, Kind> value) {
  return ToString(value.value);
}

template <typename T>
std::string ToString(const std::vector<T>& items);

// One substitution step: appends the format from `position` up to the next
// "{}" and then `text`; returns the position after the "{}". Without a "{}"
// left, appends the rest of the format, a blank unless the result is empty or
// already ends in one, and `text`; returns the format's length.
size_t FormatString(std::string& result, std::string_view format, size_t position, std::string_view text);

// Feeds the texts to FormatString in order, then appends the rest of the format.
std::string FormatStringArgs(std::string_view format, std::initializer_list<std::string> texts);

template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  return FormatStringArgs(format, {ToString(args)...});
}

// "[" then the items' texts joined by "," then "]".
template <typename T>
std::string ToString(const std::vector<T>& items) {
  std::string out = "[";
  bool first = true;
  for (const T& item : items) {
    if (!first) out += ',';
    first = false;
    out += ToString(item);
  }
  out += ']';
  return out;
}

}  // namespace OST
