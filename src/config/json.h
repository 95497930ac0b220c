// A small JSON pull reader over one in-memory buffer.
//
// The caller asks for an object (or an array) and passes a handler; the
// reader calls the handler once per member (element) with its value, and the
// handler decides on the spot what to do with it. A handler that receives an
// Object or Array value must parse it with ReadObject or ReadArray on the same
// context before it returns; otherwise the enclosing parse fails with
// "Nested object or array not parsed". No document tree is ever built, and
// the reader only descends as far as handlers ask it to, at most 32 levels
// below the outermost object or array.
//
// Refused input is reported with parse_error (one of thirteen reasons and the
// offset at which reading stopped). Input that ends where the grammar expects
// a further byte, after blanks, is reported with unexpected_end instead. Both
// derive from std::exception, not from Error: the caller decides how they
// reach the user. Errors thrown by handlers pass through unchanged (with the
// reader's `in` pairs added).
//
// Thread contract: a context and everything parsed from it belong to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "core/interface.h"

namespace OST {

// Objects and arrays nested deeper than this below the outermost one are
// refused with JSON_NESTING_LIMIT.
inline constexpr int kJsonMaxNesting = 32;

enum JsonKind : uint8_t {
  JSON_STRING,
  JSON_NUMBER,
  JSON_BOOLEAN,
  JSON_OBJECT,
  JSON_ARRAY,
  JSON_NULL,
};

// One member or element as the reader hands it to a handler.
struct JsonValue {
  JsonKind kind = JSON_NULL;
  // String: the decoded bytes. Number, Boolean, Null: the literal token as
  // written ("1e3", "true", "null"). Object, Array: empty.
  std::string text;
  // Number: its signed 64-bit reading (0 when the token is not an integer
  // that fits). Boolean: 1 or 0. Others: 0.
  int64_t integer = 0;
  // Number: its reading as a double. Boolean: 1.0 or 0.0. Others: 0.0.
  double real = 0.0;
};

// The reasons of parse_error; the value is the reason number.
enum JsonReason : int {
  JSON_UNKNOWN_ERROR = 0,        // "Unknown parse error"
  JSON_EXPECTED_QUOTE = 1,       // "Expected opening quote"
  JSON_EXPECTED_LOW_SURROGATE = 2,  // "Expected UTF-16 low surrogate"
  JSON_INVALID_ESCAPE = 3,       // "Invalid escape sequence"
  JSON_INVALID_UTF16 = 4,        // "Invalid UTF-16 character"
  JSON_EXPECTED_CLOSING_QUOTE = 5,  // "Expected closing quote"
  JSON_INVALID_VALUE = 6,        // "Invalid value"
  JSON_UNTERMINATED_VALUE = 7,   // "Unterminated value"
  JSON_EXPECTED_BRACKET = 8,     // "Expected opening bracket"
  JSON_EXPECTED_COLON = 9,       // "Expected colon"
  JSON_EXPECTED_COMMA = 10,      // "Expected comma or closing bracket"
  JSON_NESTED_NOT_PARSED = 11,   // "Nested object or array not parsed"
  JSON_NESTING_LIMIT = 12,       // "Exceeded nesting limit (32)"
};

// The message of a reason number; the empty text for a number outside the
// table.
const char* JsonReasonMessage(int reason);

// Refused input: a reason and the offset of the byte at which reading
// stopped (the read position minus 1, or 0 when nothing had been read).
class parse_error : public std::exception {
 public:
  parse_error(int reason, size_t offset) : reason_(reason), offset_(offset) {}
  int Reason() const { return reason_; }
  size_t Offset() const { return offset_; }
  // The reason's message.
  const char* what() const noexcept override { return JsonReasonMessage(reason_); }

 private:
  int reason_;
  size_t offset_;
};

// The input ended after blanks where the object or array grammar expects a
// further byte ("{" followed only by blanks, a value followed only by
// blanks). `Offset` is the input's length.
class unexpected_end : public std::exception {
 public:
  explicit unexpected_end(size_t offset) : offset_(offset) {}
  size_t Offset() const { return offset_; }
  const char* what() const noexcept override { return "Unexpected end of input"; }

 private:
  size_t offset_;
};

// The reading state over one input buffer. A byte read at or past the end of
// the input reads as the zero byte.
class buffer_context : public NonCopyable {
 public:
  // `input` is borrowed and must outlive the context.
  explicit buffer_context(std::string_view input) : input_(input) {}

  // Index of the next byte to read.
  size_t Position() const { return position_; }

 private:
  friend struct JsonParser;

  std::string_view input_;
  size_t position_ = 0;
  // Objects and arrays met as values and not yet closed (the outermost one
  // does not count).
  int level_ = 0;
  // An Object or Array value has been handed to a handler and not parsed yet.
  bool pending_ = false;
  // ReadObject/ReadArray calls in progress.
  int active_ = 0;
};

using JsonMemberHandler = std::function<void(const std::string& name, const JsonValue& value)>;
using JsonElementHandler = std::function<void(const JsonValue& value)>;

// Parses one object at the read position and calls `handler` for each member
// in order. At the outermost level it may be called at any position; inside
// a handler only for the Object value just handed to it (anything else is
// JSON_EXPECTED_BRACKET). Throws parse_error, unexpected_end, and whatever
// the handler throws.
void ReadObject(buffer_context& context, const JsonMemberHandler& handler);
// The same for an array; `handler` is called for each element in order.
void ReadArray(buffer_context& context, const JsonElementHandler& handler);

}  // namespace OST
