// Record framing: gaps, version mark, header end, Content-Length, body and
// separator, with the exact detail text and offset of every failure.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive_checks.hpp"

namespace quillmark::testing {
namespace {

struct Span {
  std::size_t offset;
  std::size_t length;
  std::string body;
};

struct FramingCase {
  std::string name;
  std::string warc;
  std::vector<Span> records;  // expected on success
  std::string error = {};     // expected detail on failure
  std::size_t error_offset = 0;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
  *os << c.name;
}

FramingCase ok(std::string name, std::string warc, std::vector<Span> records) {
  return {std::move(name), std::move(warc), std::move(records)};
}

// One record that covers all of `warc`.
FramingCase whole(std::string name, std::string warc, std::string body) {
  const std::size_t size = warc.size();
  return {std::move(name), std::move(warc), {{0, size, std::move(body)}}};
}

FramingCase fails(std::string name, std::string warc, std::string error, std::size_t offset) {
  return {std::move(name), std::move(warc), {}, std::move(error), offset};
}

std::string expected_at(std::size_t offset) {
  return "expected WARC/1.1 at offset " + std::to_string(offset);
}

std::vector<FramingCase> framing_cases() {
  const std::string a = sized_record("hello");
  const std::string b = sized_record("second body", {"WARC-Type: resource"});
  const std::size_t A = a.size(), B = b.size();
  const std::string empty_record = sized_record("");
  return {
      ok("empty_data", "", {}),
      ok("only_cr_and_lf", "\r\n\n\r\r\r\n\n", {}),
      ok("single_lf", "\n", {}),
      ok("record_ends_at_data_end", a, {{0, A, "hello"}}),
      ok("crlf_crlf_separator_counted", a + "\r\n\r\n", {{0, A + 4, "hello"}}),
      ok("lf_lf_separator_counted", a + "\n\n", {{0, A + 2, "hello"}}),
      ok("single_crlf_not_counted", a + "\r\n", {{0, A, "hello"}}),
      ok("single_crlf_then_record", a + "\r\n" + b, {{0, A, "hello"}, {A + 2, B, "second body"}}),
      ok("lf_lf_then_crlf", a + "\n\n\r\n", {{0, A + 2, "hello"}}),
      ok("crlf_lf_not_a_separator", a + "\r\n\n", {{0, A, "hello"}}),
      ok("three_crlf_counts_four_bytes", a + "\r\n\r\n\r\n", {{0, A + 4, "hello"}}),
      ok("four_lf_counts_two_bytes", a + "\n\n\n\n", {{0, A + 2, "hello"}}),
      ok("cr_cr_lf_lf_not_a_separator", a + "\r\r\n\n", {{0, A, "hello"}}),
      ok("lf_crlf_not_a_separator", a + "\n\r\n", {{0, A, "hello"}}),
      ok("cut_separator_not_counted", a + "\r\n\r", {{0, A, "hello"}}),
      ok("lone_lf_not_counted", a + "\n", {{0, A, "hello"}}),
      ok("gap_before_first_record", "\r\n\r\n" + a, {{4, A, "hello"}}),
      ok("mixed_gap_before_first_record", "\n\r\r\n\n" + a, {{5, A, "hello"}}),
      ok("gap_between_records", a + "\r\n\r\n\n\r\n" + b + "\n\n\r\n",
         {{0, A + 4, "hello"}, {A + 7, B + 2, "second body"}}),
      ok("records_back_to_back", a + b, {{0, A, "hello"}, {A, B, "second body"}}),
      ok("body_holding_terminator_and_mark", sized_record("x\r\n\r\nWARC/1.1\r\n\r\n") + "\r\n\r\n",
         {{0, sized_record("x\r\n\r\nWARC/1.1\r\n\r\n").size() + 4, "x\r\n\r\nWARC/1.1\r\n\r\n"}}),
      ok("binary_body", sized_record("\xff\xfe\0\x80"s), {{0, 35, "\xff\xfe\0\x80"s}}),
      ok("zero_length_body", empty_record, {{0, empty_record.size(), ""}}),
      ok("zero_length_body_then_separator", empty_record + "\r\n\r\n" + a,
         {{0, empty_record.size() + 4, ""}, {empty_record.size() + 4, A, "hello"}}),
      ok("version_line_extras_ignored", "WARC/1.1 extra: text\r\nContent-Length: 1\r\n\r\nx",
         {{0, 44, "x"}}),
      ok("version_mark_prefix_of_longer_version", "WARC/1.10\r\nContent-Length: 1\r\n\r\nx",
         {{0, 33, "x"}}),
      ok("lf_only_header_lines", "WARC/1.1\nContent-Length: 1\nX: y\r\n\r\nz", {{0, 36, "z"}}),
      ok("terminator_found_past_lf_lf", "WARC/1.1\nContent-Length: 0\n\nX: y\r\n\r\n",
         {{0, 36, ""}}),
      whole("white_space_around_length",
            "WARC/1.1\r\nContent-Length:  \t+5 \xe3\x80\x80\r\n\r\nhello", "hello"),
      whole("invalid_then_valid_length",
            raw_record({"Content-Length: x", "content-length: 1"}, "q"), "q"),

      fails("leading_space", " " + a, expected_at(0), 0),
      fails("leading_byte_order_mark", "\xef\xbb\xbf" + a, expected_at(0), 0),
      fails("leading_text", "hello", expected_at(0), 0),
      fails("leading_nul", "\0"s + a, expected_at(0), 0),
      fails("text_after_gap", "\r\n\r\nx" + a, expected_at(4), 4),
      fails("lower_case_mark", "warc/1.1\r\nContent-Length: 0\r\n\r\n", expected_at(0), 0),
      fails("other_version", "WARC/1.0\r\nContent-Length: 0\r\n\r\n", expected_at(0), 0),
      fails("short_mark", "WARC/1.", expected_at(0), 0),
      fails("short_mark_after_gap", "\n\nWARC/", expected_at(2), 2),
      fails("mark_only", "WARC/1.1", "unterminated header", 0),
      fails("trailing_space", a + " ", expected_at(A), A),
      fails("trailing_text_after_gap", a + "\r\n\r\n\r\nX", expected_at(A + 6), A + 6),
      fails("trailing_partial_mark", a + "\r\n\r\nWARC/1", expected_at(A + 4), A + 4),
      fails("trailing_mark_only", a + "\r\n\r\nWARC/1.1", "unterminated header", A + 4),
      fails("header_ends_in_lf_lf", "WARC/1.1\nContent-Length: 0\n\n", "unterminated header", 0),
      fails("header_ends_in_cut_terminator", "WARC/1.1\r\nContent-Length: 0\r\n\r",
            "unterminated header", 0),
      fails("header_ends_in_cr_cr", "WARC/1.1\r\nContent-Length: 0\r\r\n\n", "unterminated header",
            0),
      fails("unterminated_beats_utf8", "WARC/1.1\r\nX: \xff\r\n", "unterminated header", 0),
      fails("non_utf8_value", raw_record({"Content-Length: 0", "X: \xff"}), "non-UTF-8 header", 0),
      fails("non_utf8_version_line", "WARC/1.1\xc0\x80\r\nContent-Length: 0\r\n\r\n",
            "non-UTF-8 header", 0),
      fails("non_utf8_line_without_colon", raw_record({"\xed\xa0\x80", "Content-Length: 0"}),
            "non-UTF-8 header", 0),
      fails("non_utf8_beats_missing_length", raw_record({"X: \xf4\x90\x80\x80"}),
            "non-UTF-8 header", 0),
      fails("non_utf8_in_second_record", a + raw_record({"Content-Length: 0", "\xe2\x82"}),
            "non-UTF-8 header", A),
      fails("version_line_only", "WARC/1.1\r\n\r\n", "missing Content-Length", 0),
      fails("other_headers_only", raw_record({"WARC-Type: resource"}), "missing Content-Length", 0),
      fails("length_on_version_line", "WARC/1.1 Content-Length: 0\r\n\r\n",
            "missing Content-Length", 0),
      fails("length_name_with_inner_space", raw_record({"Content Length: 0"}),
            "missing Content-Length", 0),
      fails("length_name_with_zero_width_space",
            raw_record({"\xe2\x80\x8b"
                        "Content-Length: 0"}),
            "missing Content-Length", 0),
      fails("length_line_without_colon", raw_record({"Content-Length 0"}), "missing Content-Length",
            0),
      fails("length_after_lone_cr", raw_record({"X: 1\rContent-Length: 0"}),
            "missing Content-Length", 0),
      fails("length_minus_zero", raw_record({"Content-Length: -0"}), "invalid Content-Length", 0),
      fails("length_hex", raw_record({"Content-Length: 0x5"}, "hello"), "invalid Content-Length",
            0),
      fails("length_two_groups", raw_record({"Content-Length: 1 2"}), "invalid Content-Length", 0),
      fails("length_lone_plus", raw_record({"Content-Length: +"}), "invalid Content-Length", 0),
      fails("length_empty", raw_record({"Content-Length:"}), "invalid Content-Length", 0),
      fails("length_two_pow_64", raw_record({"Content-Length: 18446744073709551616"}),
            "invalid Content-Length", 0),
      fails("length_inner_nbsp",
            raw_record({"Content-Length: 1\xc2\xa0"
                        "2"}),
            "invalid Content-Length", 0),
      fails("valid_then_invalid_length", raw_record({"Content-Length: 0", "CONTENT-LENGTH: x"}),
            "invalid Content-Length", 0),
      fails("length_max", raw_record({"Content-Length: 18446744073709551615"}, "abc"),
            "body extends past end of data", 0),
      fails("body_one_short", raw_record({"Content-Length: 6"}, "hello"),
            "body extends past end of data", 0),
      fails("body_short_in_second_record", a + "\r\n" + raw_record({"Content-Length: 99"}, "x"),
            "body extends past end of data", A + 2),
      fails("first_failing_record_decides", a + raw_record({"Content-Length: -1"}) + "junk",
            "invalid Content-Length", A),
  };
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, ReadsRecordsOrFailsExactly) {
  const FramingCase& c = GetParam();
  const auto result = parse_both(c.warc);
  if (!c.error.empty()) {
    ASSERT_FALSE(result.ok()) << "parsed " << result->size() << " records";
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidRecord);
    EXPECT_EQ(result.error().display(), invalid(c.error));
    EXPECT_EQ(result.error().offset(), c.error_offset);
    return;
  }
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), c.records.size());
  for (std::size_t i = 0; i < c.records.size(); ++i) {
    const WarcRecord& record = result.value()[i];
    EXPECT_EQ(record.offset, c.records[i].offset) << i;
    EXPECT_EQ(record.length, c.records[i].length) << i;
    EXPECT_EQ(record.body, c.records[i].body) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Framing, ::testing::ValuesIn(framing_cases()),
                         [](const auto& info) { return info.param.name; });

// Lengths near 2^64 whose end position would wrap around to a small number.
class HugeLength : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(HugeLength, NeverWrapsPastTheEnd) {
  // Twenty digits keep the header, and so the body start, at a fixed size.
  const std::size_t body_start = 50;
  const std::size_t length = std::size_t(0) - body_start + static_cast<std::size_t>(GetParam());
  std::string digits = std::to_string(length);
  digits.insert(0, 20 - digits.size(), '0');
  const std::string warc = raw_record({"Content-Length: " + digits}, "abcdefgh");
  ASSERT_EQ(warc.size(), body_start + 8);
  const auto result = parse_both(warc);
  ASSERT_FALSE(result.ok()) << "accepted Content-Length " << digits;
  EXPECT_EQ(result.error().display(), invalid("body extends past end of data"));
}

INSTANTIATE_TEST_SUITE_P(AroundTwoPow64, HugeLength,
                         ::testing::Values(-1, 0, 1, 3, 8, 9, 40, 49, -50, -51, -1000));

// An error in the last of many good records is all that is returned.
class LastOfMany : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(LastOfMany, OnlyTheErrorComesBack) {
  const auto& [tail, detail] = GetParam();
  std::string warc;
  for (int i = 0; i < 2000; ++i) {
    warc += sized_record("body " + std::to_string(i), {"WARC-Type: resource"});
    warc += i % 3 == 0 ? "\r\n\r\n" : i % 3 == 1 ? "\n\n" : "\r\n";
  }
  const std::size_t offset = warc.size();
  warc += tail;
  const auto result = parse_both(warc);
  ASSERT_FALSE(result.ok());
  const std::string expected =
      detail.empty() ? "expected WARC/1.1 at offset " + std::to_string(offset) : detail;
  EXPECT_EQ(result.error().display(), invalid(expected));
  EXPECT_EQ(result.error().offset(), offset);
  // Without the bad tail the same data reads whole.
  const auto good = parse_both(std::string_view(warc).substr(0, offset));
  ASSERT_TRUE(good.ok()) << error_text(good);
  EXPECT_EQ(good->size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryDetail, LastOfMany,
    ::testing::Values(
        std::pair{"WARC/1.0\r\n"s, ""s}, std::pair{"garbage"s, ""s},
        std::pair{"WARC/1.1\r\nContent-Length: 0\r\n"s, "unterminated header"s},
        std::pair{"WARC/1.1\r\nContent-Length: 0\r\nX: \x80\r\n\r\n"s, "non-UTF-8 header"s},
        std::pair{"WARC/1.1\r\nX: 0\r\n\r\n"s, "missing Content-Length"s},
        std::pair{"WARC/1.1\r\nContent-Length: 1.0\r\n\r\n"s, "invalid Content-Length"s},
        std::pair{"WARC/1.1\r\nContent-Length: 10\r\n\r\nshort"s,
                  "body extends past end of data"s}));

// Near misses of the header end at every position relative to the chunks a
// vectorised search may read; only the real "\r\n\r\n" ends the header.
TEST(HeaderEndSearch, NearMissesAtEveryAlignment) {
  for (const char* near_miss : {"\r\r\n\n", "\r\n\n\r\n", "\n\r\n\r", "\r\n\r\r\n", "\rab\n",
                                "\r\nx\n", "\r\n\r", "\n\n\n\n", "\r\r\r\r"}) {
    for (std::size_t pad = 0; pad <= 48; ++pad) {
      const std::string warc = "WARC/1.1\r\nContent-Length: 1\r\nA: " + std::string(pad, 'p') +
                               near_miss + "q\r\nB: 2\r\n\r\nZ";
      const auto result = parse_both(warc);
      ASSERT_TRUE(result.ok()) << error_text(result) << " pad " << pad;
      ASSERT_EQ(result->size(), 1u);
      EXPECT_EQ(result->front().body, "Z") << pad;
      EXPECT_EQ(result->front().length, warc.size()) << pad;
      ASSERT_NE(result->front().headers.find("b"), nullptr) << pad;
      // Without the real end the header never ends, however long the data.
      const std::string cut = warc.substr(0, warc.size() - 5) + std::string(pad, '\n');
      const auto unterminated = parse_both(cut);
      ASSERT_FALSE(unterminated.ok()) << pad;
      EXPECT_EQ(unterminated.error().display(), invalid("unterminated header"));
    }
  }
}

// A view that ends inside the header end, with the rest of it in memory right
// after the view, never finds that header end.
TEST(HeaderEndSearch, CutHeaderEndAtEveryAlignment) {
  for (std::size_t pad = 0; pad <= 48; ++pad) {
    const std::string full =
        "WARC/1.1\r\nContent-Length: 0\r\nA: " + std::string(pad, 'p') + "\r\n\r\n";
    for (std::size_t missing = 1; missing <= 3; ++missing) {
      const auto result = parse_both(std::string_view(full).substr(0, full.size() - missing));
      ASSERT_FALSE(result.ok()) << "pad " << pad << " missing " << missing;
      EXPECT_EQ(result.error().display(), invalid("unterminated header"));
    }
    const auto whole = parse_both(full);
    ASSERT_TRUE(whole.ok()) << error_text(whole);
    EXPECT_EQ(whole->front().length, full.size());
  }
}

}  // namespace
}  // namespace quillmark::testing
