// Integers wrapped in a distinct type per kind, so that an access time cannot
// be passed where a port is expected. Plain values; safe to copy anywhere.
#pragma once

#include <compare>
#include <cstdint>

namespace OST {

template <typename T, int Kind>
struct TypedInt {
  using ValueType = T;
  T value = 0;

  constexpr TypedInt() = default;
  constexpr explicit TypedInt(T v) : value(v) {}

  friend constexpr auto operator<=>(const TypedInt&, const TypedInt&) = default;
};

using IpAddr = TypedInt<uint32_t, 1>;      // IPv4 address, host order
using IpPort = TypedInt<uint16_t, 2>;      // TCP port, host order
using AccessTime = TypedInt<int64_t, 3>;   // seconds since 1970 UTC
using ModifyTime = TypedInt<int64_t, 4>;   // seconds since 1970 UTC
using ChangeTime = TypedInt<int64_t, 5>;   // seconds since 1970 UTC
using UnixTime = TypedInt<int64_t, 6>;     // wall clock, seconds since 1970
using SlotId = TypedInt<uint16_t, 7>;      // channel slot number
using TimeoutMs = TypedInt<uint32_t, 8>;   // milliseconds

// Passed as a time-out: use the stream's default. Stored as the default: no
// practical limit.
inline constexpr TimeoutMs kDefaultTimeout{0xFFFFFFFFu};

}  // namespace OST
