// The manifest test on one record and the lookup of an archive's manifest.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "archive_checks.hpp"
#include "record/builder.hpp"
#include "record/manifest.hpp"

namespace quillmark::testing {
namespace {

struct ManifestTestCase {
  std::string name;
  std::vector<std::string> lines;
  bool is_manifest;
};

void PrintTo(const ManifestTestCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kType = "WARC-Type: c2paprovenance";
const std::string kContent = "Content-Type: application/c2pa";

std::vector<ManifestTestCase> manifest_test_cases() {
  return {
      {"exact", {kType, kContent}, true},
      {"content_type_first", {kContent, kType}, true},
      {"names_in_capitals", {"WARC-TYPE: c2paprovenance", "CONTENT-type: application/c2pa"}, true},
      {"white_space_around_values",
       {"WARC-Type:\t c2paprovenance \xc2\xa0", " Content-Type :application/c2pa   "},
       true},
      {"later_duplicate_is_right", {"WARC-Type: resource", kContent, kType}, true},
      {"type_value_in_capitals", {"WARC-Type: C2PAprovenance", kContent}, false},
      {"content_value_in_capitals", {kType, "Content-Type: Application/C2PA"}, false},
      {"hyphenated_type", {"WARC-Type: c2pa-provenance", kContent}, false},
      {"content_type_with_parameters",
       {kType, "Content-Type: application/c2pa; charset=binary"},
       false},
      {"content_type_with_bare_semicolon", {kType, "Content-Type: application/c2pa;"}, false},
      {"content_type_prefix", {kType, "Content-Type: application/c2p"}, false},
      {"type_prefix", {"WARC-Type: c2paprovenanc", kContent}, false},
      {"type_longer", {"WARC-Type: c2paprovenancex", kContent}, false},
      {"zero_width_space_in_value", {"WARC-Type: c2paprovenance\xe2\x80\x8b", kContent}, false},
      {"values_swapped", {"WARC-Type: application/c2pa", "Content-Type: c2paprovenance"}, false},
      {"no_content_type", {kType}, false},
      {"no_warc_type", {kContent}, false},
      {"neither", {"WARC-Record-ID: <urn:x>"}, false},
      {"later_duplicate_is_wrong", {kType, kContent, "warc-type: resource"}, false},
      {"empty_values", {"WARC-Type:", "Content-Type:"}, false},
  };
}

class ManifestTest : public ::testing::TestWithParam<ManifestTestCase> {};

TEST_P(ManifestTest, TellsManifestRecords) {
  const ManifestTestCase& c = GetParam();
  std::string warc = "WARC/1.1";
  for (const std::string& line : c.lines) warc += "\r\n" + line;
  warc += "\r\nContent-Length: 4\r\n\r\nbody";
  const auto result = parse_both(warc);
  ASSERT_TRUE(result.ok()) << error_text(result);
  const WarcRecord& record = result->front();
  EXPECT_EQ(record.is_c2pa_manifest(), c.is_manifest);

  const std::string* type = record.headers.find("warc-type");
  const std::string* content = record.headers.find("content-type");
  EXPECT_EQ(is_manifest_headers(type ? *type : "", type != nullptr, content ? *content : "",
                                content != nullptr),
            c.is_manifest);
  const auto found = find_manifest(warc);
  if (c.is_manifest) {
    ASSERT_TRUE(found.ok()) << error_text(found);
    EXPECT_EQ(found.value(), "body");
  } else {
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().kind(), ErrorKind::NoManifest);
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, ManifestTest, ::testing::ValuesIn(manifest_test_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(ManifestTestDirect, PresenceFlagsMatter) {
  EXPECT_TRUE(is_manifest_headers("c2paprovenance", true, "application/c2pa", true));
  EXPECT_FALSE(is_manifest_headers("c2paprovenance", false, "application/c2pa", true));
  EXPECT_FALSE(is_manifest_headers("c2paprovenance", true, "application/c2pa", false));
  EXPECT_FALSE(is_manifest_headers("", true, "", true));
  EXPECT_FALSE(WarcRecord{}.is_c2pa_manifest());
}

TEST(ManifestTestDirect, BuiltManifestRecordPassesWhenReadBack) {
  const std::string warc = build_record(MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE,
                                        "urn:uuid:manifest", std::nullopt, "store bytes");
  const auto result = parse_both(warc);
  ASSERT_TRUE(result.ok()) << error_text(result);
  ASSERT_EQ(result->size(), 1u);
  EXPECT_TRUE(result->front().is_c2pa_manifest());
}

std::string manifest(std::string_view body) {
  return sized_record(body, {"WARC-Type: c2paprovenance", "Content-Type: application/c2pa"});
}

std::string other(std::string_view body) {
  return sized_record(body, {"WARC-Type: resource", "Content-Type: text/plain"});
}

struct LookupCase {
  std::string name;
  std::string warc;
  std::optional<std::string> store;  // nullopt: a failure with `error`
  std::string error = {};
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<LookupCase> lookup_cases() {
  const std::string none = "no C2PA manifest record found";
  std::string many = manifest("first of many");
  for (int i = 0; i < 3000; ++i) many += "\r\n" + other(std::to_string(i));
  return {
      {"empty_archive", "", std::nullopt, none},
      {"only_cr_and_lf", "\r\n\n\r", std::nullopt, none},
      {"no_manifest_record", other("a") + other("b"), std::nullopt, none},
      {"one_manifest", manifest("store"), "store"},
      {"first_and_third_of_three", manifest("first") + other("x") + manifest("third"), "third"},
      {"first_of_three", manifest("first") + other("x") + other("y"), "first"},
      {"with_separators", manifest("one") + "\r\n\r\n" + manifest("two") + "\n\n\r\n", "two"},
      {"empty_store", manifest(""), ""},
      {"last_is_empty", manifest("older") + manifest(""), ""},
      {"binary_store", manifest("\0\xff\r\n\r\nWARC/1.1"s), "\0\xff\r\n\r\nWARC/1.1"s},
      {"manifest_inside_a_body_is_not_read", other(manifest("inner")), std::nullopt, none},
      {"first_of_many", many, "first of many"},
      {"error_after_manifest", manifest("store") + "junk", std::nullopt,
       invalid("expected WARC/1.1 at offset " + std::to_string(manifest("store").size()))},
      {"bad_length_after_manifest", manifest("store") + raw_record({"Content-Length: -1"}),
       std::nullopt, invalid("invalid Content-Length")},
      {"error_before_manifest", raw_record({"X: y"}) + manifest("store"), std::nullopt,
       invalid("missing Content-Length")},
      {"truncated_manifest", manifest("store").substr(0, manifest("store").size() - 2),
       std::nullopt, invalid("body extends past end of data")},
  };
}

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, FindsTheLastManifestOrFails) {
  const LookupCase& c = GetParam();
  const Result<ByteBuffer> found = find_manifest(c.warc);
  const Result<std::string_view> located = locate_manifest(c.warc);
  if (!c.store) {
    ASSERT_FALSE(found.ok());
    ASSERT_FALSE(located.ok());
    EXPECT_EQ(found.error().display(), c.error);
    EXPECT_EQ(found.error(), located.error());
    const auto parsed = parse_records(c.warc);
    if (!parsed.ok()) {
      EXPECT_EQ(found.error(), parsed.error()) << "the parser's error passes unchanged";
    }
    return;
  }
  ASSERT_TRUE(found.ok()) << error_text(found);
  ASSERT_TRUE(located.ok()) << error_text(located);
  EXPECT_EQ(found.value(), *c.store);
  EXPECT_EQ(located.value(), *c.store);
  EXPECT_TRUE(points_into(located.value(), c.warc));
}

INSTANTIATE_TEST_SUITE_P(Archives, Lookup, ::testing::ValuesIn(lookup_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmark::testing
