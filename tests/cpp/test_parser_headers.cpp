// Header lines: the line rule, name and value trimming, case, duplicates and
// the order in which entries come out.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "archive_checks.hpp"

namespace quillmark::testing {
namespace {

using Entries = std::vector<HeaderMap::Entry>;

struct HeaderCase {
  std::string name;
  std::string after_mark;  // header block text after "WARC/1.1"
  Entries expected;        // every entry, in iteration order
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<HeaderCase> header_cases() {
  const HeaderMap::Entry length{"content-length", "0"};
  return {
      {"crlf_lines",
       "\r\nContent-Length: 0\r\nWARC-Type: resource",
       {length, {"warc-type", "resource"}}},
      {"lf_lines", "\nContent-Length: 0\nA: 1\nB: 2", {length, {"a", "1"}, {"b", "2"}}},
      {"mixed_line_ends", "\nA: 1\r\nContent-Length: 0\nB: 2", {{"a", "1"}, length, {"b", "2"}}},
      {"cr_inside_value_kept", "\r\nContent-Length: 0\r\nA: x\ry", {length, {"a", "x\ry"}}},
      {"lone_cr_does_not_end_a_line",
       "\r\nContent-Length: 0\r\nA: 1\rB: 2",
       {length, {"a", "1\rB: 2"}}},
      {"final_line_unchanged", "\r\nContent-Length: 0\r\nZ: a\rb", {length, {"z", "a\rb"}}},
      {"cr_cr_lf_leaves_one_cr_to_trimming",
       "\r\nA: 1\r\r\nContent-Length: 0",
       {{"a", "1"}, length}},
      {"no_folding",
       "\r\nContent-Length: 0\r\nA: 1\r\n\tcontinued: 2\r\n more text",
       {length, {"a", "1"}, {"continued", "2"}}},
      {"lines_without_colon_ignored",
       "\nno colon\n\nContent-Length: 0\n\nB: 2",
       {length, {"b", "2"}}},
      {"empty_name", "\r\n: v\r\nContent-Length: 0", {{"", "v"}, length}},
      {"empty_value", "\r\nA:\r\nContent-Length: 0\r\nB: \t ", {{"a", ""}, length, {"b", ""}}},
      {"colons_belong_to_value",
       "\r\nWARC-Target-URI: http://h:80/a:b:\r\nContent-Length: 0",
       {{"warc-target-uri", "http://h:80/a:b:"}, length}},
      {"name_trimmed_and_lower_cased",
       "\r\n  \tWARC-Type \t:  MiXeD Value  \r\nContent-Length: 0",
       {{"warc-type", "MiXeD Value"}, length}},
      {"capital_length_name", "\r\nCONTENT-LENGTH: 0", {length}},
      {"non_ascii_name_case_kept",
       "\r\nX-\xc3\x84\xc3\xb6Z: 1\r\nContent-Length: 0",
       {{"x-\xc3\x84\xc3\xb6z", "1"}, length}},
      {"kelvin_sign_not_folded",
       "\r\n\xe2\x84\xaa: 1\r\nContent-Length: 0",
       {{"\xe2\x84\xaa", "1"}, length}},
      {"unicode_white_space_trimmed",
       "\r\n\xe3\x80\x80Name\xc2\xa0: \xe2\x80\x83v w\xe2\x81\x9f\r\nContent-Length: 0",
       {{"name", "v w"}, length}},
      {"zero_width_characters_kept",
       "\r\n\xef\xbb\xbf"
       "A: \xe2\x80\x8bv\xef\xbb\xbf\r\nContent-Length: 0",
       {{"\xef\xbb\xbf"
         "a",
         "\xe2\x80\x8bv\xef\xbb\xbf"},
        length}},
      {"controls_and_nul_kept",
       "\r\nA\x01"
       "B: x\0y\x1f\r\nContent-Length: 0"s,
       {{"a\x01"
         "b",
         "x\0y\x1f"s},
        length}},
      {"version_line_is_not_a_header", ": looks like a header\r\nContent-Length: 0", {length}},
      {"duplicates_keep_first_position_and_last_value",
       "\r\nWARC-Type: a\r\nContent-Length: 0\r\nwarc-type: b\r\nWARC-TYPE:  c ",
       {{"warc-type", "c"}, length}},
      {"duplicate_length_last_wins", "\r\nContent-Length: 7\r\ncontent-length: 0", {length}},
  };
}

class HeaderLines : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLines, GiveTheseEntriesInOrder) {
  const HeaderCase& c = GetParam();
  const std::string warc = "WARC/1.1" + c.after_mark + "\r\n\r\n";
  const auto result = parse_both(warc);
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), 1u);
  const WarcRecord& record = result->front();
  EXPECT_EQ(entries(record.headers), c.expected);
  EXPECT_EQ(record.body, "");
  EXPECT_EQ(record.length, warc.size());
  for (const auto& [name, value] : c.expected) {
    const std::string* found = record.headers.find(name);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(*found, value);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeaderLines, ::testing::ValuesIn(header_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(HeaderFields, IndexListsEveryLineWithItsOwnCase) {
  const std::string warc = raw_record(
      {"WARC-Type: a", "Content-Length: 0", "no colon", "warc-type: b", " WARC-TYPE :c"});
  const auto index = index_records(warc);
  ASSERT_TRUE(index.ok()) << error_text(index);
  ASSERT_EQ(index->records.size(), 1u);
  const RecordView& record = index->records[0];
  ASSERT_EQ(record.field_count, 4u);
  std::vector<std::pair<std::string_view, std::string_view>> fields;
  for (std::size_t i = 0; i < record.field_count; ++i) {
    const FieldView& field = index->fields.at(record.first_field + i);
    EXPECT_TRUE(points_into(field.name, warc));
    EXPECT_TRUE(points_into(field.value, warc));
    fields.emplace_back(field.name, field.value);
  }
  EXPECT_EQ(
      fields,
      (std::vector<std::pair<std::string_view, std::string_view>>{
          {"WARC-Type", "a"}, {"Content-Length", "0"}, {"warc-type", "b"}, {"WARC-TYPE", "c"}}));
}

TEST(HeaderFields, EachRecordHasItsOwnFields) {
  const std::string warc =
      sized_record("1", {"A: x"}) + "\r\n\r\n" + sized_record("22", {"B: y", "C: z"});
  const auto index = index_records(warc);
  ASSERT_TRUE(index.ok()) << error_text(index);
  ASSERT_EQ(index->records.size(), 2u);
  EXPECT_EQ(index->records[0].field_count, 2u);
  EXPECT_EQ(index->records[1].field_count, 3u);
  EXPECT_EQ(index->records[1].first_field, 2u);
  EXPECT_EQ(index->fields.at(2).name, "B");
  const auto parsed = parse_both(warc);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value()[1].headers.find("a"), nullptr);
  EXPECT_EQ(*parsed.value()[1].headers.find("c"), "z");
}

TEST(HeaderLinesScale, ManyLinesAndRepeatedNames) {
  std::string warc = "WARC/1.1";
  for (int i = 0; i < 20000; ++i)
    warc += "\r\nH" + std::to_string(i % 5000) + ": " + std::to_string(i);
  warc += "\r\nContent-Length: 0\r\n\r\n";
  const auto result = parse_both(warc);
  ASSERT_TRUE(result.ok()) << error_text(result);
  const HeaderMap& headers = result->front().headers;
  ASSERT_EQ(headers.size(), 5001u);
  std::size_t position = 0;
  for (const auto& [name, value] : headers) {
    if (position == 5000) {
      EXPECT_EQ(name, "content-length");
      break;
    }
    ASSERT_EQ(name, "h" + std::to_string(position));
    ASSERT_EQ(value, std::to_string(15000 + position));
    ++position;
  }
}

TEST(HeaderLinesScale, LongValueAndLargeBody) {
  std::string value(1 << 20, 'v');
  for (std::size_t i = 0; i < value.size(); i += 4093) value[i] = ':';
  const std::string body(5 << 20, '\n');
  const std::string warc = sized_record(body, {"X-Long:  " + value + " "}) + "\r\n\r\n";
  const auto result = parse_both(warc);
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), 1u);
  EXPECT_EQ(*result->front().headers.find("x-long"), value);
  EXPECT_EQ(result->front().body.size(), body.size());
  EXPECT_EQ(result->front().length, warc.size());
}

// Line ends, colons and line contents at every position relative to the
// chunks a vectorised scan may read, on lines ended by LF or CR LF.
TEST(HeaderLinesAlignment, ColonsAndLineEndsAnywhere) {
  for (std::size_t version_pad : {0u, 5u, 11u}) {
    for (std::size_t pad1 = 0; pad1 <= 34; ++pad1) {
      for (std::size_t pad2 = 0; pad2 <= 34; ++pad2) {
        const std::string end1 = pad1 % 2 ? "\n" : "\r\n", end2 = pad2 % 2 ? "\r\n" : "\n";
        const std::string key = "key" + std::string(pad2, 'b');
        const std::string warc = "WARC/1.1" + std::string(version_pad, 'v') + end1 + "n" +
                                 std::string(pad1, 'a') + end2 + ":x" + end1 + "Key" +
                                 std::string(pad2, 'b') + ":v:w" + end2 + "Content-Length: 0" +
                                 "\r\n\r\n";
        const auto result = parse_both(warc);
        ASSERT_TRUE(result.ok()) << error_text(result);
        ASSERT_EQ(entries(result->front().headers),
                  (Entries{{"", "x"}, {key, "v:w"}, {"content-length", "0"}}))
            << version_pad << ' ' << pad1 << ' ' << pad2;
      }
    }
  }
}

}  // namespace
}  // namespace quillmark::testing
