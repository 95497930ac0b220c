#include "config/json.h"

#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "util/catch_error.h"

namespace OST {
namespace {

// Parses a value that was just handed out, recursively, and appends a trace:
// s'text' for strings, n<text> for numbers, b<text>, null, {name:value,...}
// and [value,...].
void Walk(buffer_context& context, const JsonValue& value, std::string& out);

void WalkObject(buffer_context& context, std::string& out) {
  out += '{';
  ReadObject(context, [&](const std::string& name, const JsonValue& value) {
    out += name + ':';
    Walk(context, value, out);
    out += ',';
  });
  out += '}';
}

void WalkArray(buffer_context& context, std::string& out) {
  out += '[';
  ReadArray(context, [&](const JsonValue& value) {
    Walk(context, value, out);
    out += ',';
  });
  out += ']';
}

void Walk(buffer_context& context, const JsonValue& value, std::string& out) {
  switch (value.kind) {
    case JSON_STRING: out += "s'" + value.text + "'"; break;
    case JSON_NUMBER: out += "n" + value.text; break;
    case JSON_BOOLEAN: out += "b" + value.text; break;
    case JSON_NULL: out += "null"; break;
    case JSON_OBJECT: WalkObject(context, out); break;
    case JSON_ARRAY: WalkArray(context, out); break;
  }
}

struct Outcome {
  std::string trace;
  int reason = -1;          // parse_error's reason, -1 when none
  size_t offset = 0;        // parse_error's or unexpected_end's offset
  bool truncated = false;   // unexpected_end was thrown
};

Outcome ParseObject(std::string_view input) {
  Outcome outcome;
  buffer_context context(input);
  try {
    WalkObject(context, outcome.trace);
  } catch (const parse_error& e) {
    outcome.reason = e.Reason();
    outcome.offset = e.Offset();
  } catch (const unexpected_end& e) {
    outcome.truncated = true;
    outcome.offset = e.Offset();
  }
  return outcome;
}

TEST(JsonReader, AcceptedDocumentsAreHandedOutInOrder) {
  const struct {
    std::string input;
    std::string trace;
  } cases[] = {
      {"{}", "{}"},
      {" \t\r\n\v\f{ } ", "{}"},
      {R"({"a":[]})", "{a:[],}"},
      {R"({ "s" : "x" , "n" : -12 , "f":1.5e3,"t":true,"u":false,"z":null })",
       "{s:s'x',n:n-12,f:n1.5e3,t:btrue,u:bfalse,z:null,}"},
      {R"({"a":{"b":[1,"2",{},[]]},"a":0})", "{a:{b:[n1,s'2',{},[],],},a:n0,}"},
      {R"({"":""})", "{:s'',}"},
      // Text after the closing brace is never read.
      {R"({"a":1} {"b": garbage)", "{a:n1,}"},
      // Bytes that are not UTF-8 pass through strings unchanged.
      {"{\"k\xff\":\"\xc3\xa9\x80\"}", "{k\xff:s'\xc3\xa9\x80',}"},
      // A token ends at a blank, ',' ']' or '}'.
      {"{\"a\":[1\t,2 ]}", "{a:[n1,n2,],}"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = ParseObject(c.input);
    EXPECT_EQ(outcome.reason, -1) << c.input;
    EXPECT_FALSE(outcome.truncated) << c.input;
    EXPECT_EQ(outcome.trace, c.trace) << c.input;
  }
}

TEST(JsonReader, RefusedDocumentsGiveReasonAndOffset) {
  const struct {
    std::string input;
    int reason;
    size_t offset;
  } cases[] = {
      {"", JSON_EXPECTED_BRACKET, 0},
      {"x", JSON_EXPECTED_BRACKET, 0},
      {R"("a")", JSON_EXPECTED_BRACKET, 0},
      {"[1]", JSON_EXPECTED_BRACKET, 0},
      {"{", JSON_EXPECTED_QUOTE, 1},
      {"{a:1}", JSON_EXPECTED_QUOTE, 1},
      {R"({"a":1,})", JSON_EXPECTED_QUOTE, 7},
      {R"({"a":[1,]})", JSON_INVALID_VALUE, 8},
      {R"({"a" 1})", JSON_EXPECTED_COLON, 5},
      {R"({"a":1 "b":2})", JSON_EXPECTED_COMMA, 7},
      {R"({"a":[1 2]})", JSON_EXPECTED_COMMA, 8},
      {R"({"a":"x")", JSON_EXPECTED_COMMA, 8},
      {R"({"a":tru})", JSON_INVALID_VALUE, 7},
      {R"({"a":0x10})", JSON_INVALID_VALUE, 8},
      {R"({"a":12)", JSON_UNTERMINATED_VALUE, 7},
      {R"({"a":)", JSON_UNTERMINATED_VALUE, 5},
      {std::string("{\"a\":1\0}", 8), JSON_UNTERMINATED_VALUE, 6},
      {R"({"a":"\q"})", JSON_INVALID_ESCAPE, 7},
      {R"({"a":"\ud83dx"})", JSON_EXPECTED_LOW_SURROGATE, 12},
      {R"({"a":"\ud83d\n"})", JSON_EXPECTED_LOW_SURROGATE, 13},
      {R"({"a":"\ude00"})", JSON_INVALID_UTF16, 11},
      {R"({"a":"\u12g4"})", JSON_INVALID_UTF16, 10},
      {R"({"a":"\ud83d\u0041"})", JSON_INVALID_UTF16, 17},
      {R"({"a":"\u12"})", JSON_INVALID_UTF16, 10},
      {R"({"a":"abc)", JSON_EXPECTED_CLOSING_QUOTE, 9},
      {std::string("{\"a\":\"x\0y\"}", 11), JSON_EXPECTED_CLOSING_QUOTE, 7},
      {R"({"a":"x\)", JSON_EXPECTED_CLOSING_QUOTE, 8},
      {R"({"ab)", JSON_EXPECTED_CLOSING_QUOTE, 4},
  };
  for (const auto& c : cases) {
    const Outcome outcome = ParseObject(c.input);
    EXPECT_FALSE(outcome.truncated) << c.input;
    EXPECT_EQ(outcome.reason, c.reason) << c.input << " -> " << JsonReasonMessage(outcome.reason);
    EXPECT_EQ(outcome.offset, c.offset) << c.input;
  }
}

TEST(JsonReader, InputCutAfterBlanksIsNotAcceptedAsComplete) {
  const std::string cases[] = {"{ ", R"({"a" )", R"({"a": )", R"({"a":1 )", R"({"a":[1, )", "{\"a\":\"x\"\n"};
  for (const auto& input : cases) {
    const Outcome outcome = ParseObject(input);
    EXPECT_TRUE(outcome.truncated) << input;
    EXPECT_EQ(outcome.reason, -1) << input;
    EXPECT_EQ(outcome.offset, input.size()) << input;
  }
}

TEST(JsonReader, MessagesOfAllReasons) {
  const char* expected[] = {
      "Unknown parse error",          "Expected opening quote",   "Expected UTF-16 low surrogate",
      "Invalid escape sequence",      "Invalid UTF-16 character", "Expected closing quote",
      "Invalid value",                "Unterminated value",       "Expected opening bracket",
      "Expected colon",               "Expected comma or closing bracket",
      "Nested object or array not parsed", "Exceeded nesting limit (32)",
  };
  for (int i = 0; i < 13; ++i) {
    EXPECT_STREQ(JsonReasonMessage(i), expected[i]);
    EXPECT_STREQ(parse_error(i, 3).what(), expected[i]);
  }
  EXPECT_STREQ(JsonReasonMessage(13), "");
  EXPECT_STREQ(JsonReasonMessage(-1), "");
  EXPECT_STREQ(unexpected_end(4).what(), "Unexpected end of input");
}

TEST(JsonReader, StringEscapesDecodeToUtf8) {
  const struct {
    std::string escaped;
    std::string bytes;
  } cases[] = {
      {R"(\u00e9)", "\xc3\xa9"},
      {R"(\u20AC)", "\xe2\x82\xac"},
      {R"(\u0041)", "A"},
      {R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"},
      {R"(\udbff\udfff)", "\xf4\x8f\xbf\xbf"},
      {R"(\"\/\\\b\f\n\r\t)", "\"/\\\b\f\n\r\t"},
      {"a\tb", "a\tb"},
      {R"(\u0000)", std::string(1, '\0')},
  };
  for (const auto& c : cases) {
    const std::string input = "{\"k\":\"" + c.escaped + "\"}";
    buffer_context context(input);
    std::string got;
    int calls = 0;
    ReadObject(context, [&](const std::string& name, const JsonValue& value) {
      ++calls;
      EXPECT_EQ(name, "k");
      EXPECT_EQ(value.kind, JSON_STRING);
      got = value.text;
    });
    EXPECT_EQ(calls, 1) << c.escaped;
    EXPECT_EQ(got, c.bytes) << c.escaped;
  }
}

TEST(JsonReader, TokensAreReadAsNumbersBooleansAndNull) {
  const struct {
    std::string token;
    JsonKind kind;
    int64_t integer;
    double real;
  } cases[] = {
      {"0", JSON_NUMBER, 0, 0.0},
      {"-12", JSON_NUMBER, -12, -12.0},
      {"+7", JSON_NUMBER, 7, 7.0},
      {"1.5", JSON_NUMBER, 0, 1.5},
      {"1e3", JSON_NUMBER, 0, 1000.0},
      {"-2.5E-1", JSON_NUMBER, 0, -0.25},
      {"9223372036854775807", JSON_NUMBER, INT64_MAX, 9223372036854775807.0},
      {"-9223372036854775808", JSON_NUMBER, INT64_MIN, -9223372036854775808.0},
      {"9223372036854775808", JSON_NUMBER, 0, 9223372036854775808.0},
      {"true", JSON_BOOLEAN, 1, 1.0},
      {"false", JSON_BOOLEAN, 0, 0.0},
      {"null", JSON_NULL, 0, 0.0},
  };
  for (const auto& c : cases) {
    const std::string input = "{\"k\":" + c.token + "}";
    buffer_context context(input);
    JsonValue got;
    ReadObject(context, [&](const std::string&, const JsonValue& value) { got = value; });
    EXPECT_EQ(got.kind, c.kind) << c.token;
    EXPECT_EQ(got.text, c.token);
    EXPECT_EQ(got.integer, c.integer) << c.token;
    EXPECT_DOUBLE_EQ(got.real, c.real) << c.token;
  }
}

TEST(JsonReader, TokensThatAreNoNumberAreInvalid) {
  const std::string cases[] = {"1e999", "1e-999", "inf", "nan", "NaN", ".", "+", "-", "--1", "1.2.3", "1x", "True",
                               "0x1p3", "e5"};
  for (const auto& token : cases) {
    const std::string input = "{\"k\":" + token + "}";
    const Outcome outcome = ParseObject(input);
    EXPECT_EQ(outcome.reason, JSON_INVALID_VALUE) << token;
    EXPECT_EQ(outcome.offset, 4 + token.size()) << token;  // the token's last byte
  }
}

TEST(JsonReader, NestingIsLimitedTo32LevelsBelowTheOutermost) {
  for (int levels : {1, 31, 32, 33, 100}) {
    const std::string input = "{\"a\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
    const Outcome outcome = ParseObject(input);
    if (levels <= kJsonMaxNesting) {
      EXPECT_EQ(outcome.reason, -1) << levels;
      std::string expected = "[]";
      for (int i = 1; i < levels; ++i) expected = "[" + expected + ",]";
      EXPECT_EQ(outcome.trace, "{a:" + expected + ",}") << levels;
    } else {
      EXPECT_EQ(outcome.reason, JSON_NESTING_LIMIT) << levels;
      EXPECT_EQ(outcome.offset, 5u + 32u) << levels;  // the 33rd bracket
    }
  }
  // Levels count objects and arrays alike, and closing one frees its level.
  std::string deep = "{\"a\":";
  for (int i = 0; i < 16; ++i) deep += "{\"o\":[";
  for (int i = 0; i < 16; ++i) deep += "]}";
  deep += ",\"b\":" + deep.substr(5) + "}";
  EXPECT_EQ(ParseObject(deep).reason, -1);
}

TEST(JsonReader, UnparsedNestedValueIsRefused) {
  for (const std::string input : {R"({"a":{"b":1},"c":2})", R"({"a":[1]})"}) {
    buffer_context context(input);
    std::vector<std::string> names;
    try {
      ReadObject(context, [&](const std::string& name, const JsonValue&) { names.push_back(name); });
      ADD_FAILURE() << input;
    } catch (const parse_error& e) {
      EXPECT_EQ(e.Reason(), JSON_NESTED_NOT_PARSED) << input;
      EXPECT_EQ(e.Offset(), 5u) << input;  // the value's opening bracket
    }
    EXPECT_EQ(names, std::vector<std::string>{"a"}) << input;
  }
}

TEST(JsonReader, HandlerMayOnlyParseTheValueItWasGiven) {
  const struct {
    std::string input;
    bool asObject;
  } cases[] = {
      {R"({"a":"x"[1]})", false},  // a string followed by an array that is no value
      {R"({"a":5 {"b":1}})", true},
      {R"({"a":{"b":1}})", false},  // the value is an object, not an array
      {R"({"a":[1]})", true},
  };
  for (const auto& c : cases) {
    buffer_context context(c.input);
    try {
      ReadObject(context, [&](const std::string&, const JsonValue&) {
        if (c.asObject) {
          ReadObject(context, [](const std::string&, const JsonValue&) {});
        } else {
          ReadArray(context, [](const JsonValue&) {});
        }
      });
      ADD_FAILURE() << c.input;
    } catch (const parse_error& e) {
      EXPECT_EQ(e.Reason(), JSON_EXPECTED_BRACKET) << c.input;
    }
  }
}

TEST(JsonReader, ArraysAtTheTopAndHandlerErrorsPassThrough) {
  const std::string input = R"([1, "two" , [3], {"four":4}])";
  buffer_context context(input);
  std::string trace;
  WalkArray(context, trace);
  EXPECT_EQ(trace, "[n1,s'two',[n3,],{four:n4,},]");
  EXPECT_EQ(context.Position(), input.size());

  const std::string second = R"({"a":1,"b":2})";
  buffer_context other(second);
  const testutil::CaughtError caught = testutil::CatchError([&] {
    ReadObject(other, [](const std::string& name, const JsonValue&) {
      if (name == "b") OST_THROW(Error(E_INVAL, "Refused by handler"));
    });
  });
  ASSERT_TRUE(caught.thrown);
  EXPECT_EQ(caught.code, E_INVAL);
  EXPECT_EQ(caught.text, "Refused by handler");
}

}  // namespace
}  // namespace OST
