// Rebuilding an archive around a new manifest record: what is kept byte for
// byte, what is dropped, and what reading the result gives back.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "archive_checks.hpp"
#include "record/builder.hpp"
#include "record/manifest.hpp"
#include "writer/appender.hpp"

namespace quillmark::testing {
namespace {

constexpr std::string_view kDate = "2023-11-14T22:13:20Z";

struct Segment {
  std::string record;     // version mark to end of body
  std::string separator;  // what the reader counts into the record
  std::string gap;        // CR and LF bytes that belong to no record
  bool manifest = false;
};

struct Archive {
  std::string name;
  std::vector<Segment> segments;
  std::string leading_gap = {};

  std::string bytes() const {
    std::string out = leading_gap;
    for (const Segment& s : segments) out += s.record + s.separator + s.gap;
    return out;
  }
  std::string kept() const {
    std::string out;
    for (const Segment& s : segments) {
      if (!s.manifest) out += s.record + s.separator;
    }
    return out;
  }
};

void PrintTo(const Archive& a, std::ostream* os) {
  *os << a.name;
}

std::string plain(std::string_view body) {
  return sized_record(body, {"WARC-Type: resource"});
}

std::string manifest(std::string_view body) {
  return sized_record(body, {"WARC-Type: c2paprovenance", "Content-Type: application/c2pa"});
}

// The new record, written out by hand for the fixed date.
std::string new_record(std::string_view store, std::string_view id) {
  return "WARC/1.1\r\nWARC-Type: c2paprovenance\r\nWARC-Record-ID: <" + std::string(id) +
         ">\r\nWARC-Date: " + std::string(kDate) +
         "\r\nContent-Type: application/c2pa\r\nContent-Length: " + std::to_string(store.size()) +
         "\r\n\r\n" + std::string(store) + "\r\n\r\n";
}

std::vector<Archive> archives() {
  const std::string a = plain("A body"), b = plain("B\r\n\r\nbody"), m1 = manifest("old one"),
                    m2 = manifest("old two");
  return {
      {"only_crlf", {}, "\r\n"},
      {"only_cr_and_lf", {}, "\n\r\n\r\r\n"},
      {"one_record", {{a, "\r\n\r\n", ""}}},
      {"one_record_without_separator", {{a, "", ""}}},
      {"all_manifests", {{m1, "\r\n\r\n", "", true}, {m2, "\n\n", "", true}}},
      {"a_m1_b_m2",
       {{a, "\r\n\r\n", ""}, {m1, "\n\n", "", true}, {b, "", "\r\n"}, {m2, "\r\n\r\n", "", true}}},
      {"leading_gap_dropped", {{a, "\r\n\r\n", ""}}, "\r\n\r\n"},
      {"gaps_after_separators_dropped",
       {{a, "\n\n", "\r\n\r\n\n"}, {b, "\r\n\r\n", "\r\n\n\r"}, {a, "\r\n\r\n", "\n\n\n"}},
       "\n"},
      {"single_crlf_dropped", {{a, "", "\r\n"}, {b, "", "\r\n"}}},
      {"single_crlf_before_a_dropped_manifest", {{a, "", "\r\n"}, {m1, "", "\r\n", true}}},
      {"records_back_to_back", {{a, "", ""}, {b, "", ""}, {m1, "", "", true}, {a, "", ""}}},
      {"manifest_first", {{m1, "\r\n\r\n", "", true}, {a, "\r\n\r\n", ""}}},
      {"near_manifests_kept",
       {{sized_record("p", {"WARC-Type: c2paprovenance", "Content-Type: application/c2pa; v=1"}),
         "\r\n\r\n", ""},
        {sized_record("q", {"WARC-Type: metadata", "Content-Type: application/c2pa"}), "\n\n", ""},
        {sized_record("r", {"Content-Type: application/c2pa"}), "", ""},
        {sized_record("s", {"WARC-Type: C2paprovenance", "Content-Type: application/c2pa"}), "",
         ""}}},
      {"manifest_spelled_differently_dropped",
       {{sized_record("x", {"warc-type:  c2paprovenance ", "CONTENT-TYPE:application/c2pa"}),
         "\r\n\r\n", "", true},
        {a, "", ""}}},
  };
}

// Checks the plan, the exact bytes for a fixed date, and the clocked call.
void check_append(const Archive& archive, std::string_view store, std::string_view id) {
  const std::string warc = archive.bytes();
  const std::string kept = archive.kept();
  const std::string expected = kept + new_record(store, id);

  const Result<AppendPlan> plan = plan_append(warc);
  ASSERT_TRUE(plan.ok()) << error_text(plan);
  EXPECT_EQ(plan->kept_bytes, kept.size());
  std::string copied;
  for (std::size_t i = 0; i < plan->kept.size(); ++i) {
    const ByteRange& range = plan->kept[i];
    ASSERT_LE(range.offset + range.length, warc.size());
    EXPECT_GT(range.length, 0u);
    if (i > 0) {
      const ByteRange& before = plan->kept[i - 1];
      EXPECT_GT(range.offset, before.offset + before.length) << "ranges not merged or not ordered";
    }
    copied.append(warc, range.offset, range.length);
  }
  EXPECT_EQ(copied, kept);

  const RecordFields fields = manifest_record_fields(store, id);
  EXPECT_EQ(fields.warc_type, MANIFEST_WARC_TYPE);
  EXPECT_EQ(fields.content_type, MANIFEST_CONTENT_TYPE);
  EXPECT_EQ(fields.record_id, id);
  EXPECT_FALSE(fields.target_uri.has_value());
  EXPECT_EQ(fields.body, store);
  ASSERT_EQ(appended_size(plan.value(), fields, kDate), expected.size());
  std::string out(expected.size() + 8, '\x5a');
  write_appended(plan.value(), warc, fields, kDate, out.data());
  EXPECT_EQ(out.substr(expected.size()), std::string(8, '\x5a')) << "wrote past the end";
  out.resize(expected.size());
  EXPECT_EQ(out, expected);

  // Rebuilding the result again changes nothing.
  const Result<AppendPlan> again = plan_append(out);
  ASSERT_TRUE(again.ok()) << error_text(again);
  std::string rewritten(appended_size(again.value(), fields, kDate), '\0');
  write_appended(again.value(), out, fields, kDate, rewritten.data());
  EXPECT_EQ(rewritten, out);

  // The clocked call: the same bytes up to its own date.
  const Result<ByteBuffer> appended = append_manifest(warc, store, id);
  ASSERT_TRUE(appended.ok()) << error_text(appended);
  ASSERT_EQ(appended->size(), expected.size());
  EXPECT_EQ(appended->substr(0, kept.size()), kept);
  const auto before = parse_both(warc);
  const auto after = parse_both(appended.value());
  ASSERT_TRUE(before.ok() && after.ok());
  std::size_t next = 0, offset = 0;
  for (const WarcRecord& old : before.value()) {
    if (old.is_c2pa_manifest()) continue;
    ASSERT_LT(next, after->size());
    const WarcRecord& copy = after.value()[next++];
    EXPECT_EQ(copy.headers, old.headers);
    EXPECT_EQ(copy.body, old.body);
    EXPECT_EQ(copy.length, old.length);
    EXPECT_EQ(copy.offset, offset);
    offset += copy.length;
  }
  ASSERT_EQ(after->size(), next + 1);
  const WarcRecord& added = after->back();
  EXPECT_TRUE(added.is_c2pa_manifest());
  EXPECT_EQ(added.body, store);
  EXPECT_EQ(*added.headers.find("warc-record-id"), "<" + std::string(id) + ">");
  EXPECT_EQ(added.headers.find("warc-target-uri"), nullptr);
  EXPECT_EQ(added.offset, offset);
  EXPECT_EQ(added.offset + added.length, appended->size());
  const auto found = find_manifest(appended.value());
  ASSERT_TRUE(found.ok()) << error_text(found);
  EXPECT_EQ(found.value(), store);
}

class Append : public ::testing::TestWithParam<Archive> {};

TEST_P(Append, KeepsRecordsDropsManifestsAndGaps) {
  check_append(GetParam(), "new store \0\xff\r\n\r\n"s, "urn:uuid:new");
  check_append(GetParam(), "", "");
}

INSTANTIATE_TEST_SUITE_P(Archives, Append, ::testing::ValuesIn(archives()),
                         [](const auto& info) { return info.param.name; });

// Random archives: every kind of record, separator and gap, in any order.
class AppendRandom : public ::testing::TestWithParam<unsigned> {};

TEST_P(AppendRandom, HoldsForAnyLayout) {
  std::mt19937 random(GetParam());
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::string separators[] = {"", "\r\n\r\n", "\n\n"};
  // After no separator, gaps must not themselves read as one.
  const std::string safe_gaps[] = {"", "\r\n", "\n", "\r", "\r\n\n", "\n\r\n", "\r\r\n\n"};
  const std::string any_gaps[] = {"", "\r\n", "\n\n", "\r\n\r\n", "\n\r\n\r\n\r"};
  Archive archive{"random", {}};
  archive.leading_gap = any_gaps[pick(5)];
  const std::size_t count = 1 + pick(40);
  for (std::size_t i = 0; i < count; ++i) {
    std::string body(pick(60), '\0');
    for (char& c : body) c = "ab\r\n\0\xffW"[pick(7)];
    const bool is_manifest = pick(3) == 0;
    Segment segment{is_manifest ? manifest(body) : plain(body), separators[pick(3)], "",
                    is_manifest};
    segment.gap = segment.separator.empty() ? safe_gaps[pick(7)] : any_gaps[pick(5)];
    archive.segments.push_back(segment);
  }
  check_append(archive, "store " + std::to_string(GetParam()),
               "urn:seed:" + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, AppendRandom, ::testing::Range(1u, 41u));

TEST(AppendTwice, OnlyTheNewerManifestRemains) {
  const std::string warc = plain("one") + "\r\n\r\n" + manifest("m0") + plain("two");
  const auto first = append_manifest(warc, "m1", "urn:1");
  ASSERT_TRUE(first.ok()) << error_text(first);
  const auto second = append_manifest(first.value(), "m2", "urn:2");
  ASSERT_TRUE(second.ok()) << error_text(second);
  const auto records = parse_both(second.value());
  ASSERT_TRUE(records.ok()) << error_text(records);
  ASSERT_EQ(records->size(), 3u);
  EXPECT_EQ(records.value()[0].body, "one");
  EXPECT_EQ(records.value()[1].body, "two");
  EXPECT_EQ(records.value()[2].body, "m2");
  EXPECT_EQ(*records.value()[2].headers.find("warc-record-id"), "<urn:2>");
  EXPECT_FALSE(records.value()[0].is_c2pa_manifest());
  EXPECT_EQ(second->substr(0, second->find("WARC/1.1", 1)), plain("one") + "\r\n\r\n");
}

TEST(AppendFailures, EmptyDataIsRejected) {
  const auto plan = plan_append("");
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().kind(), ErrorKind::InvalidRecord);
  EXPECT_EQ(plan.error().display(), "invalid WARC record: empty WARC data");
  const auto appended = append_manifest("", "store", "urn:x");
  ASSERT_FALSE(appended.ok());
  EXPECT_EQ(appended.error(), plan.error());
  // Reading the same empty data is not an error.
  const auto parsed = parse_both("");
  ASSERT_TRUE(parsed.ok());
  EXPECT_TRUE(parsed->empty());
}

class AppendParseFailure : public ::testing::TestWithParam<std::string> {};

TEST_P(AppendParseFailure, ReturnsTheParsersErrorUnchanged) {
  const std::string warc = plain("kept") + "\r\n\r\n" + manifest("old") + GetParam();
  const auto parsed = parse_records(warc);
  ASSERT_FALSE(parsed.ok());
  const auto plan = plan_append(warc);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error(), parsed.error());
  const auto appended = append_manifest(warc, "store", "urn:x");
  ASSERT_FALSE(appended.ok());
  EXPECT_EQ(appended.error(), parsed.error());
  EXPECT_EQ(appended.error().display().rfind("invalid WARC record: ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryDetail, AppendParseFailure,
                         ::testing::Values(" "s, "\r\n\r\nWARC/1.0"s,
                                           "WARC/1.1\r\nContent-Length: 0"s,
                                           "WARC/1.1\r\nX: \xc0\xaf\r\n\r\n"s,
                                           "WARC/1.1\r\nX: 0\r\n\r\n"s,
                                           "WARC/1.1\r\nContent-Length: 0x1\r\n\r\n"s,
                                           "WARC/1.1\r\nContent-Length: 3\r\n\r\nab"s));

}  // namespace
}  // namespace quillmark::testing
