#include "config/json.h"

#include <cerrno>
#include <cstdlib>

#include "core/error.h"

namespace OST {

const char* JsonReasonMessage(int reason) {
  static constexpr const char* kMessages[] = {
      "Unknown parse error",
      "Expected opening quote",
      "Expected UTF-16 low surrogate",
      "Invalid escape sequence",
      "Invalid UTF-16 character",
      "Expected closing quote",
      "Invalid value",
      "Unterminated value",
      "Expected opening bracket",
      "Expected colon",
      "Expected comma or closing bracket",
      "Nested object or array not parsed",
      "Exceeded nesting limit (32)",
  };
  if (reason < 0 || reason >= static_cast<int>(std::size(kMessages))) return "";
  return kMessages[reason];
}

struct JsonParser {
  // The blanks of isspace in the "C" locale, whatever the process locale.
  static bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

  static unsigned char Next(buffer_context& c) {
    const unsigned char byte = c.position_ < c.input_.size() ? static_cast<unsigned char>(c.input_[c.position_]) : 0;
    ++c.position_;
    return byte;
  }

  static void Unread(buffer_context& c) { --c.position_; }

  [[noreturn]] static void Fail(const buffer_context& c, int reason) {
    throw parse_error(reason, c.position_ == 0 ? 0 : c.position_ - 1);
  }

  // Skips blanks. Running into the end of the input over blanks is the one
  // failure that is not a parse error: the text was cut after a token.
  static void SkipSpace(buffer_context& c) {
    bool skipped = false;
    while (c.position_ < c.input_.size() && IsSpace(static_cast<unsigned char>(c.input_[c.position_]))) {
      ++c.position_;
      skipped = true;
    }
    if (skipped && c.position_ >= c.input_.size()) throw unexpected_end(c.input_.size());
  }

  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // The four hexadecimal digits of a \u escape.
  static uint32_t ReadHex4(buffer_context& c) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char d = Next(c);
      uint32_t digit;
      if (d >= '0' && d <= '9') {
        digit = d - '0';
      } else if (d >= 'a' && d <= 'f') {
        digit = d - 'a' + 10;
      } else if (d >= 'A' && d <= 'F') {
        digit = d - 'A' + 10;
      } else {
        Fail(c, JSON_INVALID_UTF16);
      }
      value = (value << 4) | digit;
    }
    return value;
  }

  // The rest of a string whose opening quote has been read.
  static std::string ReadString(buffer_context& c) {
    std::string out;
    for (;;) {
      const unsigned char byte = Next(c);
      if (byte == 0) Fail(c, JSON_EXPECTED_CLOSING_QUOTE);
      if (byte == '"') return out;
      if (byte != '\\') {
        out += static_cast<char>(byte);
        continue;
      }
      const unsigned char escape = Next(c);
      switch (escape) {
        case '"':
        case '/':
        case '\\': out += static_cast<char>(escape); break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          const uint32_t unit = ReadHex4(c);
          if (unit >= 0xDC00 && unit <= 0xDFFF) Fail(c, JSON_INVALID_UTF16);
          if (unit < 0xD800 || unit > 0xDBFF) {
            AppendUtf8(out, unit);
            break;
          }
          const unsigned char slash = Next(c);
          if (slash == 0) Fail(c, JSON_EXPECTED_CLOSING_QUOTE);
          if (slash != '\\' || Next(c) != 'u') Fail(c, JSON_EXPECTED_LOW_SURROGATE);
          const uint32_t low = ReadHex4(c);
          if (low < 0xDC00 || low > 0xDFFF) Fail(c, JSON_INVALID_UTF16);
          AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          break;
        }
        case 0: Fail(c, JSON_EXPECTED_CLOSING_QUOTE);
        default: Fail(c, JSON_INVALID_ESCAPE);
      }
    }
  }

  // A whole-token signed decimal integer that fits in 64 bits.
  static bool ReadInteger(const std::string& token, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    if (i == token.size()) return false;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    for (; i < token.size(); ++i) {
      const char d = token[i];
      if (d < '0' || d > '9') return false;
      const uint64_t digit = static_cast<uint64_t>(d - '0');
      if (magnitude > (limit - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
    }
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  static bool ReadReal(const std::string& token, double& value) {
    if (token.empty() || token.find_first_not_of("0123456789+-.Ee") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const double result = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || errno == ERANGE) return false;
    value = result;
    return true;
  }

  // An unquoted token whose first byte has been read.
  static void ReadToken(buffer_context& c, unsigned char first, JsonValue& value) {
    if (first == 0) Fail(c, JSON_UNTERMINATED_VALUE);
    value.text.assign(1, static_cast<char>(first));
    for (;;) {
      const unsigned char byte = Next(c);
      if (byte == 0) Fail(c, JSON_UNTERMINATED_VALUE);
      if (byte == ',' || byte == ']' || byte == '}' || IsSpace(byte)) {
        Unread(c);  // the next token's first byte
        break;
      }
      value.text += static_cast<char>(byte);
    }
    if (value.text == "true" || value.text == "false") {
      value.kind = JSON_BOOLEAN;
      value.integer = value.text == "true" ? 1 : 0;
      value.real = static_cast<double>(value.integer);
    } else if (value.text == "null") {
      value.kind = JSON_NULL;
    } else if (ReadInteger(value.text, value.integer)) {
      value.kind = JSON_NUMBER;
      value.real = static_cast<double>(value.integer);
    } else if (ReadReal(value.text, value.real)) {
      value.kind = JSON_NUMBER;
      value.integer = 0;
    } else {
      Fail(c, JSON_INVALID_VALUE);
    }
  }

  static JsonValue ReadValue(buffer_context& c) {
    JsonValue value;
    SkipSpace(c);
    const unsigned char first = Next(c);
    if (first == '{' || first == '[') {
      // Left for the handler, which parses it from its bracket.
      Unread(c);
      value.kind = first == '{' ? JSON_OBJECT : JSON_ARRAY;
      ++c.level_;
      c.pending_ = true;
    } else if (first == '"') {
      value.kind = JSON_STRING;
      value.text = ReadString(c);
    } else {
      ReadToken(c, first, value);
    }
    return value;
  }

  // The shared state machine of objects (with names) and arrays.
  template <typename Each>
  static void ReadContainer(buffer_context& c, unsigned char open, unsigned char close, const Each& each) {
    const bool nested = c.pending_;
    // Inside a handler, only the Object or Array value just handed out may
    // be parsed; anything else is not at an opening bracket.
    if (!nested && c.active_ > 0) Fail(c, JSON_EXPECTED_BRACKET);
    SkipSpace(c);
    if (Next(c) != open) Fail(c, JSON_EXPECTED_BRACKET);
    if (nested) {
      c.pending_ = false;
      if (c.level_ > kJsonMaxNesting) Fail(c, JSON_NESTING_LIMIT);
    }
    ++c.active_;
    SkipSpace(c);
    if (Next(c) != close) {
      Unread(c);
      for (;;) {
        each();
        // Reported at the opening bracket of the value left unparsed.
        if (c.pending_) throw parse_error(JSON_NESTED_NOT_PARSED, c.position_);
        SkipSpace(c);
        const unsigned char byte = Next(c);
        if (byte == close) break;
        if (byte != ',') Fail(c, JSON_EXPECTED_COMMA);
      }
    }
    --c.active_;
    if (nested) --c.level_;
  }
};

void ReadObject(buffer_context& context, const JsonMemberHandler& handler) try {
  JsonParser::ReadContainer(context, '{', '}', [&] {
    JsonParser::SkipSpace(context);
    if (JsonParser::Next(context) != '"') JsonParser::Fail(context, JSON_EXPECTED_QUOTE);
    const std::string name = JsonParser::ReadString(context);
    JsonParser::SkipSpace(context);
    if (JsonParser::Next(context) != ':') JsonParser::Fail(context, JSON_EXPECTED_COLON);
    const JsonValue value = JsonParser::ReadValue(context);
    handler(name, value);
  });
}
OST_TRAIL

void ReadArray(buffer_context& context, const JsonElementHandler& handler) try {
  JsonParser::ReadContainer(context, '[', ']', [&] {
    const JsonValue value = JsonParser::ReadValue(context);
    handler(value);
  });
}
OST_TRAIL

}  // namespace OST
