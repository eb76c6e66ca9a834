// White-space trimming, ASCII-only lower-casing and the Content-Length number.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record/text.hpp"

namespace quillmark {
namespace {

// Every character with the Unicode White_Space property, as UTF-8.
const char* const kWhiteSpace[] = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
    "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
    "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
    "\xe3\x80\x80",
};

// Look-alikes and neighbours of white space that must stay: zero-width space,
// byte-order mark, Mongolian vowel separator, joiners, the ASCII information
// separators and NUL, and characters whose UTF-8 shares lead bytes with white space.
const char* const kNotWhiteSpace[] = {
    "\xe2\x80\x8b", "\xef\xbb\xbf", "\xe1\xa0\x8e", "\xe2\x80\x8c", "\xe2\x80\x8d", "\xe2\x81\xa0",
    "\x1c",         "\x1d",         "\x1e",         "\x1f",         "\x08",         "\x0e",
    "\x7f",         "\xc2\x84",     "\xc2\x86",     "\xc2\xa1",     "\xc2\x9f",     "\xe1\x9a\x81",
    "\xe2\x80\x90", "\xe2\x80\xa7", "\xe2\x80\xaa", "\xe2\x80\xb0", "\xe2\x81\x9e", "\xe3\x80\x81",
    "\xe3\x80\x82", "\xe2\x80\xae", "\xc2\xad",     "\xc2\x80",     "\xe2\x80\x8e", "\xe2\x81\xa1",
    "\xe2\xa0\x80", "\xe3\x85\xa4", "\xef\xbe\xa0", "\xe1\x99\xbf", "\xe2\x80\x8f",
};

class TrimWhiteSpace : public ::testing::TestWithParam<const char*> {};

TEST_P(TrimWhiteSpace, RemovedAtBothEndsKeptInside) {
  const std::string ws = GetParam();
  const std::string inner = "a" + ws + "b";
  for (const std::string& text : {ws + inner, inner + ws, ws + ws + inner + ws + ws,
                                  " " + ws + "\t" + inner + ws + " " + ws}) {
    const std::string_view trimmed = trim_white_space(text);
    EXPECT_EQ(trimmed, inner);
    EXPECT_GE(trimmed.data(), text.data());  // a view into the input
  }
  EXPECT_EQ(trim_white_space(ws), "");
  EXPECT_EQ(trim_white_space(ws + ws + ws), "");
}

INSTANTIATE_TEST_SUITE_P(EveryWhiteSpaceCharacter, TrimWhiteSpace,
                         ::testing::ValuesIn(kWhiteSpace));

class KeepNonWhiteSpace : public ::testing::TestWithParam<const char*> {};

TEST_P(KeepNonWhiteSpace, StaysAtEitherEnd) {
  const std::string keep = GetParam();
  EXPECT_EQ(trim_white_space(keep), keep);
  EXPECT_EQ(trim_white_space(" " + keep + "x\xe3\x80\x80"), keep + "x");
  EXPECT_EQ(trim_white_space("\xc2\xa0x" + keep + "\t"), "x" + keep);
  EXPECT_EQ(trim_white_space("\xe2\x80\x80" + keep + "\xe2\x80\x8a"), keep);
}

INSTANTIATE_TEST_SUITE_P(EveryLookAlike, KeepNonWhiteSpace, ::testing::ValuesIn(kNotWhiteSpace));

TEST(TrimWhiteSpace, EmptyAndAllWhiteSpace) {
  EXPECT_EQ(trim_white_space(""), "");
  std::string all;
  for (const char* ws : kWhiteSpace) all += ws;
  EXPECT_EQ(trim_white_space(all), "");
  EXPECT_EQ(trim_white_space(all + "v" + all), "v");
  EXPECT_EQ(trim_white_space(all + "v w" + all), "v w");
}

TEST(AsciiLower, OnlyCapitalLettersChange) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const char expected = (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : c;
    EXPECT_EQ(ascii_lower(c), expected) << b;
    EXPECT_EQ(to_ascii_lower(std::string(1, c)), std::string(1, expected)) << b;
  }
  EXPECT_EQ(to_ascii_lower("Content-LENGTH @[\\]^_`{|} \xc3\x84\xc3\x96 \xe2\x84\xaa"),
            "content-length @[\\]^_`{|} \xc3\x84\xc3\x96 \xe2\x84\xaa");
  std::string buffer(5, '?');
  to_ascii_lower("WaRc\xc9", buffer.data());
  EXPECT_EQ(buffer, "warc\xc9");
}

TEST(AsciiLower, EqualsFoldsOnlyTheName) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const bool expected = ((a >= 'A' && a <= 'Z') ? a + 32 : a) == b;
      ASSERT_EQ(equals_ascii_lower(std::string(1, static_cast<char>(a)),
                                   std::string(1, static_cast<char>(b))),
                expected)
          << a << ' ' << b;
    }
  }
  EXPECT_TRUE(equals_ascii_lower("CONTENT-Length", "content-length"));
  EXPECT_TRUE(equals_ascii_lower("", ""));
  EXPECT_FALSE(equals_ascii_lower("content-lengt", "content-length"));
  EXPECT_FALSE(equals_ascii_lower("content-lengthx", "content-length"));
  EXPECT_FALSE(equals_ascii_lower("content\xadlength", "content-length"));
  EXPECT_FALSE(equals_ascii_lower("content-length", "Content-Length"));
}

struct NumberCase {
  const char* name;
  std::string text;
  std::optional<std::size_t> value;
};

class ContentLengthNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ContentLengthNumber, ParsesOrRejects) {
  EXPECT_EQ(parse_content_length(GetParam().text), GetParam().value);
}

constexpr std::size_t kMax = SIZE_MAX;
const std::optional<std::size_t> kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Rules, ContentLengthNumber,
    ::testing::Values(
        NumberCase{"zero", "0", 0}, NumberCase{"five", "5", 5}, NumberCase{"plus", "+5", 5},
        NumberCase{"plus_zero", "+0", 0}, NumberCase{"leading_zeros", "007", 7},
        NumberCase{"many_leading_zeros", std::string(40, '0') + "12", 12},
        NumberCase{"only_zeros", std::string(30, '0'), 0}, NumberCase{"plus_and_zeros", "+000", 0},
        NumberCase{"large", "1234567890123", 1234567890123},
        NumberCase{"max", "18446744073709551615", kMax},
        NumberCase{"max_zero_padded", "00018446744073709551615", kMax},
        NumberCase{"max_plus", "+18446744073709551615", kMax},
        NumberCase{"max_minus_one", "18446744073709551614", kMax - 1},
        NumberCase{"two_pow_64", "18446744073709551616", kNone},
        NumberCase{"wraps_to_small", "18446744073709551620", kNone},
        NumberCase{"two_pow_65", "36893488147419103232", kNone},
        NumberCase{"twenty_nines", "99999999999999999999", kNone},
        NumberCase{"max_times_ten", "184467440737095516150", kNone},
        NumberCase{"huge", std::string(400, '9'), kNone}, NumberCase{"empty", "", kNone},
        NumberCase{"lone_plus", "+", kNone}, NumberCase{"lone_minus", "-", kNone},
        NumberCase{"minus_zero", "-0", kNone}, NumberCase{"minus_five", "-5", kNone},
        NumberCase{"double_plus", "++5", kNone}, NumberCase{"plus_minus", "+-5", kNone},
        NumberCase{"trailing_plus", "5+", kNone}, NumberCase{"hex", "0x5", kNone},
        NumberCase{"hex_upper", "0X5", kNone}, NumberCase{"space_inside", "1 2", kNone},
        NumberCase{"underscore", "1_0", kNone}, NumberCase{"comma", "1,0", kNone},
        NumberCase{"dot", "5.0", kNone}, NumberCase{"exponent", "1e3", kNone},
        NumberCase{"letter_after", "5a", kNone}, NumberCase{"letter_before", "a5", kNone},
        NumberCase{"untrimmed_space", " 5", kNone}, NumberCase{"trailing_tab", "5\t", kNone},
        NumberCase{"plus_space", "+ 5", kNone},
        NumberCase{"nul_inside", std::string("5\0", 2), kNone},
        NumberCase{"arabic_indic_five", "\xd9\xa5", kNone},
        NumberCase{"fullwidth_five", "\xef\xbc\x95", kNone},
        NumberCase{"superscript_one", "\xc2\xb9", kNone},
        NumberCase{"digit_then_fullwidth", "1\xef\xbc\x90", kNone},
        NumberCase{"colon_after_nine", "9:", kNone}, NumberCase{"slash_before_zero", "/0", kNone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContentLengthNumberSweep, EveryValueAroundPowersOfTen) {
  std::size_t power = 1;
  for (int digits = 1; digits <= 19; ++digits, power *= 10) {
    for (std::size_t value : {power - 1, power, power + 1, power * 9 + 9}) {
      EXPECT_EQ(parse_content_length(std::to_string(value)), value);
      EXPECT_EQ(parse_content_length("+0" + std::to_string(value)), value);
    }
  }
}

}  // namespace
}  // namespace quillmark
