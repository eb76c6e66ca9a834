// Strict UTF-8 validation, checked against a plain decoder written here and
// across the eight-byte boundaries of the fast ASCII path.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "record/text.hpp"

namespace quillmark {
namespace {

// Decodes sequence by sequence: lead byte, continuation bytes, then the
// shortest-form, surrogate and range checks on the decoded code point.
bool reference_valid(std::string_view text) {
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Encodes `code` in exactly `length` bytes, overlong or out of range if asked.
std::string encode(std::uint32_t code, int length) {
  std::string out;
  switch (length) {
    case 1:
      out += static_cast<char>(code);
      break;
    case 2:
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
      break;
    case 3:
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
      break;
    default:
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
  }
  return out;
}

int shortest_length(std::uint32_t code) {
  return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Table : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, MatchesExpectation) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(reference_valid(c.bytes), c.valid) << "reference decoder disagrees";
  EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  // The same bytes after runs of ASCII that move them across the 8-byte chunks.
  for (std::size_t pad = 1; pad <= 17; ++pad) {
    EXPECT_EQ(is_valid_utf8(std::string(pad, 'a') + c.bytes), c.valid) << "after " << pad;
    EXPECT_EQ(is_valid_utf8(std::string(pad, 'a') + c.bytes + std::string(pad, 'b')), c.valid)
        << "inside " << pad;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Utf8Table,
    ::testing::Values(
        Utf8Case{"empty", "", true}, Utf8Case{"nul", std::string(1, '\0'), true},
        Utf8Case{"del", "\x7f", true}, Utf8Case{"u0080", "\xc2\x80", true},
        Utf8Case{"u07ff", "\xdf\xbf", true}, Utf8Case{"u0800", "\xe0\xa0\x80", true},
        Utf8Case{"ud7ff", "\xed\x9f\xbf", true}, Utf8Case{"ue000", "\xee\x80\x80", true},
        Utf8Case{"ufffd", "\xef\xbf\xbd", true}, Utf8Case{"uffff", "\xef\xbf\xbf", true},
        Utf8Case{"u10000", "\xf0\x90\x80\x80", true}, Utf8Case{"u10ffff", "\xf4\x8f\xbf\xbf", true},
        Utf8Case{"overlong_c0", "\xc0\x80", false}, Utf8Case{"overlong_c1", "\xc1\xbf", false},
        Utf8Case{"overlong_e0", "\xe0\x9f\xbf", false},
        Utf8Case{"overlong_e0_nul", "\xe0\x80\x80", false},
        Utf8Case{"overlong_f0", "\xf0\x8f\xbf\xbf", false},
        Utf8Case{"overlong_f0_nul", "\xf0\x80\x80\x80", false},
        Utf8Case{"surrogate_d800", "\xed\xa0\x80", false},
        Utf8Case{"surrogate_dbff", "\xed\xaf\xbf", false},
        Utf8Case{"surrogate_dc00", "\xed\xb0\x80", false},
        Utf8Case{"surrogate_dfff", "\xed\xbf\xbf", false},
        Utf8Case{"surrogate_pair", "\xed\xa0\xbd\xed\xb8\x80", false},
        Utf8Case{"u110000", "\xf4\x90\x80\x80", false},
        Utf8Case{"lead_f5", "\xf5\x80\x80\x80", false},
        Utf8Case{"lead_f7", "\xf7\xbf\xbf\xbf", false},
        Utf8Case{"lead_f8", "\xf8\x88\x80\x80\x80", false},
        Utf8Case{"lead_fc", "\xfc\x84\x80\x80\x80\x80", false}, Utf8Case{"byte_fe", "\xfe", false},
        Utf8Case{"byte_ff", "\xff", false}, Utf8Case{"lone_continuation_80", "\x80", false},
        Utf8Case{"lone_continuation_bf", "\xbf", false},
        Utf8Case{"extra_continuation", "\xc2\x80\x80", false},
        Utf8Case{"truncated_2", "\xc2", false}, Utf8Case{"truncated_3_of_1", "\xe0", false},
        Utf8Case{"truncated_3_of_2", "\xe0\xa0", false},
        Utf8Case{"truncated_4_of_3", "\xf0\x90\x80", false},
        Utf8Case{"truncated_then_ascii", "\xe2\x82x", false},
        Utf8Case{"continuation_is_ascii", "\xc2\x41", false},
        Utf8Case{"continuation_is_lead", "\xc2\xc2\x80", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf8Exhaustive, EveryStringOfUpToThreeBytes) {
  std::string text(3, '\0');
  for (unsigned a = 0; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    ASSERT_EQ(is_valid_utf8(one), reference_valid(one)) << a;
    for (unsigned b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(is_valid_utf8(two), reference_valid(two)) << a << ' ' << b;
      text[0] = static_cast<char>(a);
      text[1] = static_cast<char>(b);
      for (unsigned c = 0; c < 256; ++c) {
        text[2] = static_cast<char>(c);
        ASSERT_EQ(is_valid_utf8(text), reference_valid(text)) << a << ' ' << b << ' ' << c;
      }
    }
  }
}

TEST(Utf8Exhaustive, EveryFourByteFormOfAllLeadBytes) {
  // Lead bytes F0 to FF with every second byte and edge third and fourth bytes.
  const unsigned edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0xbf, 0xc0, 0xff};
  std::string text(4, '\0');
  for (unsigned a = 0xf0; a < 0x100; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      for (unsigned c : edges) {
        for (unsigned d : edges) {
          text = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                  static_cast<char>(d)};
          ASSERT_EQ(is_valid_utf8(text), reference_valid(text)) << a << ' ' << b;
        }
      }
    }
  }
}

TEST(Utf8CodePoints, EveryScalarValueIsValidAndEverySurrogateIsNot) {
  for (std::uint32_t code = 0; code <= 0x10FFFF; ++code) {
    const std::string bytes = encode(code, shortest_length(code));
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    ASSERT_EQ(is_valid_utf8(bytes), !surrogate) << std::hex << code;
    if (code % 61 == 0) {  // a sample in every position of a chunk
      const std::string padded = std::string(code % 8, 'x') + bytes + "yyyyyyyy";
      ASSERT_EQ(is_valid_utf8(padded), !surrogate) << std::hex << code;
    }
  }
}

TEST(Utf8CodePoints, EveryOverlongAndOutOfRangeFormIsInvalid) {
  for (std::uint32_t code = 0; code < 0x10000; ++code) {
    if (code < 0x80) {
      ASSERT_FALSE(is_valid_utf8(encode(code, 2))) << std::hex << code;
    }
    if (code < 0x800) {
      ASSERT_FALSE(is_valid_utf8(encode(code, 3))) << std::hex << code;
    }
    ASSERT_FALSE(is_valid_utf8(encode(code, 4))) << std::hex << code;
  }
  for (std::uint32_t code = 0x110000; code < 0x200000; code += 7) {
    ASSERT_FALSE(is_valid_utf8(encode(code, 4))) << std::hex << code;
  }
}

TEST(Utf8Positions, OneBadByteAnywhereInALongTextIsFound) {
  const std::string good = "h\xc3\xa9llo w\xe2\x82\xacrld \xf0\x9f\x98\x80 ascii run here!";
  ASSERT_TRUE(is_valid_utf8(good));
  for (std::size_t at = 0; at <= good.size(); ++at) {
    for (char bad : {'\x80', '\xff', '\xc0', '\xf8'}) {
      std::string text = good;
      text.insert(at, 1, bad);
      EXPECT_FALSE(is_valid_utf8(text)) << "at " << at << " byte " << int(bad & 0xff);
    }
  }
  for (std::size_t length = 1; length <= 70; ++length) {
    std::string text(length, 'a');
    text.back() = '\xc3';  // truncated at the very end of a long ASCII run
    EXPECT_FALSE(is_valid_utf8(text)) << length;
    text.back() = '\x7f';
    EXPECT_TRUE(is_valid_utf8(text)) << length;
  }
}

TEST(Utf8Positions, SequenceCutByTheEndOfTheViewIsInvalid) {
  // The rest of the sequence stays in memory right after the view, so a
  // validator that reads past the end would wrongly accept it.
  for (std::uint32_t code : {0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    for (std::size_t pad : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u}) {
      const std::string text = std::string(pad, 'a') + encode(code, shortest_length(code));
      ASSERT_TRUE(is_valid_utf8(text));
      for (std::size_t cut = pad + 1; cut < text.size(); ++cut) {
        EXPECT_FALSE(is_valid_utf8(std::string_view(text).substr(0, cut)))
            << std::hex << code << std::dec << " pad " << pad << " cut " << cut;
      }
    }
  }
}

TEST(Utf8Positions, HighBitInAnyLaneOfAnAsciiChunkIsSeen) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::string text(40, 'z');
    text[at] = '\x80';
    EXPECT_FALSE(is_valid_utf8(text)) << at;
    // A view that ends before the bad byte must not look at it.
    EXPECT_TRUE(is_valid_utf8(std::string_view(text).substr(0, at))) << at;
  }
}

}  // namespace
}  // namespace quillmark
