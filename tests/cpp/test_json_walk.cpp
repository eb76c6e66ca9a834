// The one-pass JSON check: the exact message and byte of each kind of fault,
// texts that must pass, every cut of valid texts, nesting far past the limit,
// and string tokens made, checked and decoded back.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "package/json_string.hpp"
#include "package/json_walk.hpp"

namespace quillmark::package {
namespace {

// Follows nothing: the check alone.
class CheckOnly final : public JsonVisitor {
 public:
  JsonKey key(JsonRole, std::string_view, std::size_t) override { return 0; }
  JsonRole open(JsonRole, JsonKey, JsonKind, std::size_t) override { return kIgnored; }
  void value(JsonRole, JsonKey, const JsonValue&) override {}
};

std::string verdict(std::string_view text) {
  CheckOnly visitor;
  const Status status = walk_json(text, visitor);
  return status ? "ok" : status.error().display();
}

TEST(JsonWalk, EachFaultHasItsMessageAndByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "not valid JSON: expected a value at byte 0"},
      {" \r\n\t", "not valid JSON: expected a value at byte 4"},
      {"\xEF\xBB\xBF", "not valid JSON: expected a value at byte 3"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", "not valid JSON: expected a value at byte 3"},
      {" \xEF\xBB\xBF{}", "not valid JSON: expected a value at byte 1"},
      {"\x0b{}", "not valid JSON: expected a value at byte 0"},
      {"\xC3\xA9", "not valid JSON: expected a value at byte 0"},
      {"{", "not valid JSON: expected a key or '}' at byte 1"},
      {"{1:2}", "not valid JSON: expected a key or '}' at byte 1"},
      {"{\"a\"", "not valid JSON: expected ':' at byte 4"},
      {"{\"a\" 1}", "not valid JSON: expected ':' at byte 5"},
      {"{\"a\":", "not valid JSON: expected a value at byte 5"},
      {"{\"a\":1", "not valid JSON: expected ',' or '}' at byte 6"},
      {"{\"a\":1]", "not valid JSON: expected ',' or '}' at byte 6"},
      {"{\"a\":1,", "not valid JSON: expected a key at byte 7"},
      {"{\"a\":1 , }", "not valid JSON: expected a key at byte 9"},
      {"[", "not valid JSON: expected a value or ']' at byte 1"},
      {"[,1]", "not valid JSON: expected a value or ']' at byte 1"},
      {"[1", "not valid JSON: expected ',' or ']' at byte 2"},
      {"[1 2]", "not valid JSON: expected ',' or ']' at byte 3"},
      {"[1}", "not valid JSON: expected ',' or ']' at byte 2"},
      {"[1,]", "not valid JSON: expected a value at byte 3"},
      {"{} {}", "not valid JSON: unexpected data after the value at byte 3"},
      {std::string("{}\0", 3), "not valid JSON: unexpected data after the value at byte 2"},
      {"{}\xEF\xBB\xBF", "not valid JSON: unexpected data after the value at byte 2"},
      {"01", "not valid JSON: unexpected data after the value at byte 1"},
      {"-", "not valid JSON: invalid number at byte 1"},
      {"[-a]", "not valid JSON: invalid number at byte 2"},
      {"1.", "not valid JSON: invalid number at byte 2"},
      {"1.e5", "not valid JSON: invalid number at byte 2"},
      {"1e", "not valid JSON: invalid number at byte 2"},
      {"1E+", "not valid JSON: invalid number at byte 3"},
      {"+1", "not valid JSON: expected a value at byte 0"},
      {".5", "not valid JSON: expected a value at byte 0"},
      {"[tru]", "not valid JSON: expected a value or ']' at byte 1"},
      {"[1,tru]", "not valid JSON: expected a value at byte 3"},
      {"nul", "not valid JSON: expected a value at byte 0"},
      {"True", "not valid JSON: expected a value at byte 0"},
      {"[\"a\nb\"]", "unescaped control character in a string at byte 3"},
      {"\"\x1f\"", "unescaped control character in a string at byte 1"},
      {"\"\\x\"", "invalid escape at byte 1"},
      {"\"\\U0041\"", "invalid escape at byte 1"},
      {"\"\\u12G4\"", "invalid \\u escape at byte 1"},
      {"\"\\u12\"", "invalid \\u escape at byte 1"},
      {"\"\\ud800\"", "lone surrogate \\ud800 at byte 1"},
      {"\"ab\\uD800\\u0041\"", "lone surrogate \\uD800 at byte 3"},
      {"\"\\uDBFF\\uDBFF\\uDC00\"", "lone surrogate \\uDBFF at byte 1"},
      {"\"\\ud800x\"", "lone surrogate \\ud800 at byte 1"},
      {"\"\\ud800\\n\"", "lone surrogate \\ud800 at byte 1"},
      {"\"\\udc00\\ud800\"", "lone surrogate \\udc00 at byte 1"},
      {"{\"k\\uDFFF\":1}", "lone surrogate \\uDFFF at byte 3"},
      {"\"\xC0\xAF\"", "invalid UTF-8 at byte 1"},
      {"\"\xC1\xBF\"", "invalid UTF-8 at byte 1"},
      {"\"\xE0\x9F\xBF\"", "invalid UTF-8 at byte 1"},
      {"\"\xED\xA0\x80\"", "invalid UTF-8 at byte 1"},
      {"\"\xF0\x8F\xBF\xBF\"", "invalid UTF-8 at byte 1"},
      {"\"\xF4\x90\x80\x80\"", "invalid UTF-8 at byte 1"},
      {"\"\xF5\x80\x80\x80\"", "invalid UTF-8 at byte 1"},
      {"\"ok\x80\"", "invalid UTF-8 at byte 3"},
      {"\"a\xE2\x82\"", "invalid UTF-8 at byte 2"},
      {"\"\xE2\x82\xAC\xFF\"", "invalid UTF-8 at byte 4"},
      {"\"abc", "unterminated string from byte 0"},
      {"[\"a\\\"]", "unterminated string from byte 1"},
      {"\"\\", "unterminated string from byte 0"},
      {"\"\\u12", "unterminated string from byte 0"},
      {"\"\\ud800", "unterminated string from byte 0"},
      {"\"\\ud800\\u", "unterminated string from byte 0"},
      {"\"\\ud800\\udc", "unterminated string from byte 0"},
      {"\"\xE2\x82", "unterminated string from byte 0"},
      {"\"\xF0", "unterminated string from byte 0"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(verdict(text), expected) << "text: " << ::testing::PrintToString(text);
  }
}

TEST(JsonWalk, AcceptsWhatTheGrammarAllows) {
  const std::string texts[] = {
      "0",
      "-0",
      "2.50",
      "1e400",
      "-1.5E-7",
      "1e+2",
      "true",
      "false",
      "null",
      "\"\"",
      " [ ] ",
      "{}",
      "{\"\":0}",
      "\t{\r\n\"a\" :\n[ 1 , {\"b\":null} ]\r\n}\n",
      "\xEF\xBB\xBF{}",
      "\"\\/\\\"\\\\\\b\\f\\n\\r\\t\"",
      "\"\\u0000\\u001F\\uFFFF\"",
      "\"\\ud83d\\ude00 \\uDBFF\\uDFFF\"",
      "\"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\"",
      "\"\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"",
      std::string(512, '[') + std::string(512, ']'),
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(verdict(text), "ok") << "text: " << ::testing::PrintToString(text);
  }
}

TEST(JsonWalk, NestingPastTheLimitIsRefusedWithoutRecursion) {
  // Far deeper than any call stack would take, were the levels calls.
  const std::size_t deep = 100000;
  EXPECT_EQ(verdict(std::string(deep, '[')), "nested deeper than 512 levels at byte 512");
  std::string objects;
  for (std::size_t i = 0; i < deep; ++i) objects += "{\"a\":";
  EXPECT_EQ(verdict(objects), "nested deeper than 512 levels at byte 2560");
  std::string mixed = "{\"resources\":[{\"hash\":";
  for (std::size_t i = 0; i < deep; ++i) mixed += i % 2 ? "{\"x\":" : "[";
  // 22 bytes to level 3, then 509 levels of 1 and 5 bytes in turn.
  EXPECT_EQ(verdict(mixed), "nested deeper than 512 levels at byte 1547");
  EXPECT_EQ(verdict(std::string(513, '[') + std::string(513, ']')),
            "nested deeper than 512 levels at byte 512");
}

// Every cut of a valid text short of its last bracket is refused, at or
// before the cut, with one of the messages of a text cut short.
TEST(JsonWalk, EveryCutOfAValidTextIsRefusedAtOrBeforeTheCut) {
  const std::string texts[] = {
      "\xEF\xBB\xBF{\r\n\t\"pa\\u0074h\": \"archive\\/a.warc.gz\",\r\n\t\"n\": [2.50, -1e400, "
      "true, false, null],\r\n\t\"t\": \"Z\xC3\xBCrich \xE2\x9C\x93 \xF0\x9F\x98\x80 "
      "\\ud83d\\ude00\"\r\n}\r\n",
      "{\"a\":{\"a\":[{},[],\"\\\"\"]},\"a\":0}",
  };
  for (const std::string& text : texts) {
    const std::size_t last = text.rfind('}') + 1;
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
      CheckOnly visitor;
      const Status status = walk_json(std::string_view(text).substr(0, cut), visitor);
      if (cut >= last) {
        EXPECT_TRUE(status.ok()) << cut;
        continue;
      }
      ASSERT_FALSE(status.ok()) << cut;
      const Error& error = status.error();
      EXPECT_EQ(error.kind(), ErrorKind::PackageText);
      EXPECT_LE(error.offset(), cut);
      const std::string place = " byte " + std::to_string(error.offset());
      EXPECT_EQ(error.display().substr(error.display().size() - place.size()), place)
          << error.display();
    }
  }
}

TEST(JsonString, TokensMadeForAnyTextCheckAndDecodeBackToIt) {
  std::mt19937_64 random(11);
  const std::string pieces[] = {"\"",
                                "\\",
                                "/",
                                "\n",
                                "\r",
                                "\t",
                                "\b",
                                "\f",
                                std::string(1, '\0'),
                                "\x01",
                                "\x1f",
                                "\x7f",
                                "a",
                                "Z",
                                " ",
                                "\xC3\xA9",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80",
                                "\xEF\xBF\xBF",
                                "\\u0041"};
  for (int round = 0; round < 2000; ++round) {
    std::string value;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) value += pieces[random() % std::size(pieces)];
    const std::string token = json_string_token(value);
    const Result<std::size_t> end = scan_json_string(token, 0);
    ASSERT_TRUE(end.ok()) << end.error().display();
    EXPECT_EQ(end.value(), token.size());
    EXPECT_EQ(decoded_json_string(token), value);
    EXPECT_TRUE(json_string_equals(token, value));
    EXPECT_FALSE(json_string_equals(token, value + "x"));
    if (!value.empty()) {
      EXPECT_FALSE(json_string_equals(token, value.substr(1)));
    }
    // Nothing escaped that JSON does not need escaped.
    for (const char c : value) {
      if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) {
        EXPECT_NE(token.find(c), std::string::npos);
      }
    }
  }
}

TEST(JsonString, EscapesDecodeToTheirCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"pa\\u0074h\"", "path"},
      {"\"\\/\\\"\\\\\\b\\f\\n\\r\\t\"", "/\"\\\b\f\n\r\t"},
      {"\"\\u00e9\\u00E9\\u20ac\"", "\xC3\xA9\xC3\xA9\xE2\x82\xAC"},
      {"\"\\ud83d\\ude00\\uDBFF\\uDFFF\"", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"\"a\\u0000b\"", std::string("a\0b", 3)},
      {"\"\xE2\x9C\x93\"", "\xE2\x9C\x93"},
  };
  for (const auto& [token, value] : cases) {
    ASSERT_TRUE(scan_json_string(token, 0).ok()) << token;
    EXPECT_EQ(decoded_json_string(token), value) << token;
    EXPECT_TRUE(json_string_equals(token, value)) << token;
  }
  EXPECT_EQ(json_string_token("a\"b\\c\n\x01/\xC3\xA9"), "\"a\\\"b\\\\c\\n\\u0001/\xC3\xA9\"");
}

}  // namespace
}  // namespace quillmark::package
