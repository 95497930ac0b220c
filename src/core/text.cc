#include "core/text.h"


#include <chrono>

#include "core/error.h"

namespace OST {

std::string HexToString(uint64_t value, bool prefix) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  if (n < 2) digits[n++] = '0';
  std::string out = prefix ? "0x" : "";
  while (n > 0) out += digits[--n];
  return out;
}

uint64_t HexFromString(std::string_view text) {
  std::string_view digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && digits[1] == 'x') digits.remove_prefix(2);
  uint64_t value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      OST_THROW(Error(E_INVAL, "Hex value is invalid").Add("hex", text));
    }
    if ((value >> 60) != 0) OST_THROW(Error(E_OVER, "Hex constant is too large").Add("hex", text));
    value = (value << 4) | digit;
  }
  return value;
}

size_t convertUtf32ToUtf8(const char32_t* source, size_t count, char* destination, size_t capacity) {
  size_t out = 0;
  auto put = [&](unsigned byte) {
    if (out >= capacity) OST_THROW(Error(E_NOSPC, "Destination buffer is full"));
    destination[out++] = static_cast<char>(byte);
  };
  for (size_t i = 0; i < count; ++i) {
    const char32_t cp = source[i];
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        OST_THROW(Error(E_INVAL, "Could not convert invalid symbols from range [0xD800,0xDFFF] to UTF-8"));
      }
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else if (cp <= 0x10FFFF) {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      OST_THROW(Error(E_INVAL, "Could not convert UTF-32 code beyond 0x10FFFF to UTF-8"));
    }
  }
  return out;
}

size_t convertUtf8ToUtf32(const char* source, size_t length, char32_t* destination, size_t capacity) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  size_t out = 0;
  size_t i = 0;
  while (i < length) {
    const unsigned lead = bytes[i];
    size_t extra;
    char32_t cp;
    if (lead < 0x80) {
      extra = 0;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      OST_THROW(Error(E_INVAL, "Could not convert invalid UTF-8 sequence to UTF-32"));
    }
    if (length - i - 1 < extra) OST_THROW(Error(E_INVAL, "Could not convert invalid UTF-8 sequence to UTF-32"));
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned next = bytes[i + k];
      if ((next & 0xC0) != 0x80) OST_THROW(Error(E_INVAL, "Could not convert invalid UTF-8 sequence to UTF-32"));
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp > 0x10FFFF) OST_THROW(Error(E_INVAL, "Could not convert UTF-8 code beyond 0x10FFFF to UTF-32"));
    if (out >= capacity) OST_THROW(Error(E_NOSPC, "Destination buffer is full"));
    destination[out++] = cp;
    i += extra + 1;
  }
  return out;
}

std::string string32to8(std::u32string_view text) try {
  std::string out(text.size() * 4, '\0');
  out.resize(convertUtf32ToUtf8(text.data(), text.size(), out.data(), out.size()));
  return out;
}
OST_TRAIL

std::u32string string8to32(std::string_view text) try {
  std::u32string out(text.size(), U'\0');
  out.resize(convertUtf8ToUtf32(text.data(), text.size(), out.data(), out.size()));
  return out;
}
OST_TRAIL

std::vector<std::string> SplitString(std::string_view text, std::string_view separators) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t cut = text.find_first_of(separators, start);
    if (cut == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, cut - start));
    start = cut + 1;
  }
}

UnixTime CurrentTime() { return UnixTime(CurrentTimeUs() / 1000000); }

int64_t CurrentTimeMs() { return CurrentTimeUs() / 1000; }

int64_t CurrentTimeUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void DaysToDate(int64_t days, int& year, int& month, int& day) {
  // Civil-from-days on the proleptic Gregorian calendar, in 400-year eras
  // counted from 0000-03-01.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;  // month counted from March
  const int64_t d = dayOfYear - (153 * mp + 2) / 5;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;  // 1..12
  year = static_cast<int>(yearOfEra + era * 400 + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m - 1);
  day = static_cast<int>(d);
}

}  // namespace OST
