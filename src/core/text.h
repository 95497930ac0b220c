// Text conversions: hexadecimal identifiers, UTF-8 <-> UTF-32, splitting,
// and the clock and calendar used for time stamps. All errors are E_INVAL
// unless stated. Thread contract: pure functions (the clocks read the host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/typed_int.h"

namespace OST {

// Lowercase hex with the fewest digits that hold the value, never fewer than
// two: 0 -> "00", 4095 -> "fff"; "0x" in front with `prefix`.
std::string HexToString(uint64_t value, bool prefix);
// Reads an optional "0x" and lowercase hex digits; "" and "0x" give 0.
// Throws E_INVAL "Hex value is invalid" or E_OVER "Hex constant is too large"
// (detail `hex`).
uint64_t HexFromString(std::string_view text);

// Throws "Could not convert invalid symbols from range [0xD800,0xDFFF] to
// UTF-8" or "Could not convert UTF-32 code beyond 0x10FFFF to UTF-8".
std::string string32to8(std::u32string_view text);
// Throws "Could not convert invalid UTF-8 sequence to UTF-32" or "Could not
// convert UTF-8 code beyond 0x10FFFF to UTF-32". Overlong forms and encoded
// surrogates are decoded without complaint.
std::u32string string8to32(std::string_view text);
// Buffer forms of the above; return the number of bytes (code points)
// written. The destination must hold the worst case: 4 bytes per code point,
// 1 code point per byte.
size_t convertUtf32ToUtf8(const char32_t* source, size_t count, char* destination, size_t capacity);
size_t convertUtf8ToUtf32(const char* source, size_t length, char32_t* destination, size_t capacity);

// Cuts the text at every character of `separators`; empty pieces stay.
std::vector<std::string> SplitString(std::string_view text, std::string_view separators);

// Wall clock.
UnixTime CurrentTime();
int64_t CurrentTimeMs();
int64_t CurrentTimeUs();

// Days since 1970-01-01 to the Gregorian date; month and day count from 0.
void DaysToDate(int64_t days, int& year, int& month, int& day);

}  // namespace OST
