// Writing one record: exact bytes for a fixed date, sizes, and reading back.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "archive_checks.hpp"
#include "record/builder.hpp"
#include "record/warc_date.hpp"

namespace quillmark::testing {
namespace {

constexpr std::string_view kDate = "2023-11-14T22:13:20Z";

struct BuildCase {
  std::string name;
  std::string warc_type, content_type, record_id;
  std::optional<std::string> target_uri;
  std::string body;
  std::string expected_head;  // every byte before the body

  RecordFields fields() const {
    return {warc_type, content_type, record_id,
            target_uri ? std::optional<std::string_view>(*target_uri) : std::nullopt, body};
  }
};

void PrintTo(const BuildCase& c, std::ostream* os) {
  *os << c.name;
}

std::string head(std::string_view type, std::string_view id, std::string_view target_line,
                 std::string_view content_type, std::size_t length) {
  return "WARC/1.1\r\nWARC-Type: " + std::string(type) + "\r\nWARC-Record-ID: <" + std::string(id) +
         ">\r\n" + std::string(target_line) + "WARC-Date: " + std::string(kDate) +
         "\r\nContent-Type: " + std::string(content_type) +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::vector<BuildCase> build_cases() {
  const std::string thousand(1000, 'k');
  const std::string tricky = "\r\n\r\nWARC/1.1\r\nContent-Length: 0\r\n\r\n";
  return {
      {"worked_example", "resource", "text/plain", "urn:uuid:1", std::nullopt, "hi",
       "WARC/1.1\r\nWARC-Type: resource\r\nWARC-Record-ID: <urn:uuid:1>\r\n"
       "WARC-Date: 2023-11-14T22:13:20Z\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n"},
      {"empty_target", "response", "application/http", "urn:x", "", "ab",
       head("response", "urn:x", "WARC-Target-URI: \r\n", "application/http", 2)},
      {"target_present", "response", "application/http", "urn:x", "http://example.com/a?b=c:d",
       "ab",
       head("response", "urn:x", "WARC-Target-URI: http://example.com/a?b=c:d\r\n",
            "application/http", 2)},
      {"record_id_wrapped_again", "resource", "text/plain", "<x>", std::nullopt, "",
       head("resource", "<x>", "", "text/plain", 0)},
      {"every_value_empty", "", "", "", std::nullopt, "", head("", "", "", "", 0)},
      {"body_holds_header_end_and_mark", "resource", "text/plain", "urn:y", std::nullopt, tricky,
       head("resource", "urn:y", "", "text/plain", tricky.size())},
      {"thousand_byte_body", "c2paprovenance", "application/c2pa", "urn:m", std::nullopt, thousand,
       head("c2paprovenance", "urn:m", "", "application/c2pa", 1000)},
      {"binary_body", "resource", "application/octet-stream", "urn:b", std::nullopt,
       "\0\xff\xfe\r"s, head("resource", "urn:b", "", "application/octet-stream", 4)},
      {"non_ascii_values", "ressource \xc3\xa9t\xc3\xa9", "text/html; charset=utf-8",
       "urn:uuid:\xe2\x82\xac", "http://example.com/\xc3\xa4", "x",
       head("ressource \xc3\xa9t\xc3\xa9", "urn:uuid:\xe2\x82\xac",
            "WARC-Target-URI: http://example.com/\xc3\xa4\r\n", "text/html; charset=utf-8", 1)},
      {"values_not_trimmed_when_written", " resource\t", " text/plain ", " id ", " t ", "",
       head(" resource\t", " id ", "WARC-Target-URI:  t \r\n", " text/plain ", 0)},
  };
}

class Build : public ::testing::TestWithParam<BuildCase> {};

TEST_P(Build, WritesExactBytesAndReadsBack) {
  const BuildCase& c = GetParam();
  const RecordFields fields = c.fields();
  const std::string expected = c.expected_head + c.body + "\r\n\r\n";
  ASSERT_EQ(record_size(fields, kDate), expected.size());

  std::string buffer(expected.size() + 16, '\xaa');
  const char* end = write_record(fields, kDate, buffer.data());
  EXPECT_EQ(end, buffer.data() + expected.size());
  EXPECT_EQ(buffer.substr(0, expected.size()), expected);
  EXPECT_EQ(buffer.substr(expected.size()), std::string(16, '\xaa')) << "wrote past the end";

  const auto result = parse_both(expected);
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), 1u);
  const WarcRecord& record = result->front();
  EXPECT_EQ(record.offset, 0u);
  EXPECT_EQ(record.length, expected.size());
  EXPECT_EQ(record.body, c.body);
  std::vector<HeaderMap::Entry> headers = {
      {"warc-type", std::string(trim_white_space(c.warc_type))},
      {"warc-record-id", "<" + c.record_id + ">"}};
  if (c.target_uri) headers.emplace_back("warc-target-uri", trim_white_space(*c.target_uri));
  headers.emplace_back("warc-date", kDate);
  headers.emplace_back("content-type", trim_white_space(c.content_type));
  headers.emplace_back("content-length", std::to_string(c.body.size()));
  EXPECT_EQ(entries(record.headers), headers);
}

INSTANTIATE_TEST_SUITE_P(Cases, Build, ::testing::ValuesIn(build_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(BuildWorkedExample, SizesMatch) {
  const RecordFields fields{"resource", "text/plain", "urn:uuid:1", std::nullopt, "hi"};
  const std::string date = format_warc_date(1700000000);
  ASSERT_EQ(date, kDate);
  std::string out(record_size(fields, date), '\0');
  write_record(fields, date, out.data());
  EXPECT_EQ(out.size(), 147u);
  EXPECT_EQ(out.find("hi"), 141u);
  EXPECT_EQ(out.substr(141), "hi\r\n\r\n");
}

TEST(BuildEmptyBody, EndsWithTwoHeaderEnds) {
  const RecordFields fields{"resource", "text/plain", "urn:e", std::nullopt, ""};
  std::string out(record_size(fields, kDate), '\0');
  write_record(fields, kDate, out.data());
  const std::string_view end = "\r\nContent-Length: 0\r\n\r\n\r\n\r\n";
  ASSERT_GE(out.size(), end.size());
  EXPECT_EQ(out.substr(out.size() - end.size()), end);
}

TEST(BuildVerbatim, CrLfInAValueAddsAHeaderLine) {
  const RecordFields fields{"a\r\nX-Extra: b", "text/plain", "urn:z", std::nullopt, "body"};
  std::string out(record_size(fields, kDate), '\0');
  write_record(fields, kDate, out.data());
  const std::string_view start =
      "WARC/1.1\r\nWARC-Type: a\r\nX-Extra: b\r\nWARC-Record-ID: <urn:z>";
  EXPECT_EQ(out.substr(0, start.size()), start);
  const auto result = parse_both(out);
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), 1u);
  EXPECT_EQ(*result->front().headers.find("warc-type"), "a");
  EXPECT_EQ(*result->front().headers.find("x-extra"), "b");
  EXPECT_EQ(result->front().body, "body");
}

class BuildLengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BuildLengths, ContentLengthIsThePlainDecimalSize) {
  const std::string body(GetParam(), 'z');
  const RecordFields fields{"resource", "text/plain", "urn:n", std::nullopt, body};
  const std::string expected_head = head("resource", "urn:n", "", "text/plain", body.size());
  EXPECT_EQ(record_size(fields, kDate), expected_head.size() + body.size() + 4);
  std::string out(record_size(fields, kDate), '\0');
  write_record(fields, kDate, out.data());
  EXPECT_EQ(out.substr(0, expected_head.size()), expected_head);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BuildLengths,
                         ::testing::Values(0, 1, 9, 10, 99, 100, 101, 999, 1000, 65536, 1000000));

TEST(BuildRecord, DatedByTheClockAndOtherwiseLikeWriteRecord) {
  const std::uint64_t before = clock_seconds();
  const ByteBuffer built = build_record("resource", "text/plain", "urn:c", "http://t", "payload");
  const std::uint64_t after = clock_seconds();
  bool matched = false;
  for (std::uint64_t secs = before; secs <= after && !matched; ++secs) {
    const std::string date = format_warc_date(secs);
    const RecordFields fields{"resource", "text/plain", "urn:c", "http://t", "payload"};
    std::string expected(record_size(fields, date), '\0');
    write_record(fields, date, expected.data());
    matched = built == expected;
  }
  EXPECT_TRUE(matched) << built;
}

}  // namespace
}  // namespace quillmark::testing
