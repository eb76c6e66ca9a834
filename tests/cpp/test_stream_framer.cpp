// The stream framer against the whole-archive reader: fed in pieces of any
// size, cut at any byte, with bodies fed or skipped, it must find exactly the
// records that index_records finds in the concatenation, or the same Error.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive_generator.hpp"
#include "record/stream_framer.hpp"

namespace quillmark::testing {
namespace {

struct Seen {
  std::size_t offset = 0, length = 0;
  std::string header, body, separator;
  std::vector<std::pair<std::string, std::string>> fields;  // name, trimmed value
  friend bool operator==(const Seen&, const Seen&) = default;
};

void PrintTo(const Seen& seen, std::ostream* os) {
  *os << "{offset " << seen.offset << ", length " << seen.length << ", body " << seen.body.size()
      << " bytes, " << seen.fields.size() << " fields}";
}

// What the whole-archive reader finds, in the same shape.
Result<std::vector<Seen>> whole(std::string_view warc) {
  Result<RecordIndex> index = index_records(warc);
  if (!index) return std::move(index).error();
  std::vector<Seen> out;
  for (const RecordView& view : index->records) {
    Seen seen{view.offset, view.length, {}, std::string(view.body), {}, {}};
    const std::size_t body_at = static_cast<std::size_t>(view.body.data() - warc.data());
    seen.header = std::string(warc.substr(view.offset, body_at - view.offset));
    seen.separator = std::string(warc.substr(
        body_at + view.body.size(), view.offset + view.length - body_at - view.body.size()));
    for (std::size_t i = 0; i < view.field_count; ++i) {
      const FieldView& field = index->fields[view.first_field + i];
      seen.fields.emplace_back(field.name, field.value);
    }
    out.push_back(std::move(seen));
  }
  return out;
}

class Collector {
 public:
  void field(std::string_view name, std::string_view raw_value) {
    fields_.emplace_back(name, trim_white_space(raw_value));
  }
  void header(std::size_t offset, std::string_view block, std::size_t body_size) {
    EXPECT_FALSE(open_) << "header() twice";
    open_ = true;
    current_ = Seen{offset, 0, std::string(block), {}, {}, std::move(fields_)};
    current_.body.reserve(body_size);
    fields_.clear();
  }
  void body(std::string_view piece) {
    EXPECT_TRUE(open_);
    current_.body += piece;
  }
  void end(std::size_t offset, std::size_t length, std::string_view separator) {
    EXPECT_TRUE(open_);
    EXPECT_EQ(offset, current_.offset);
    open_ = false;
    current_.length = length;
    current_.separator = std::string(separator);
    records.push_back(std::move(current_));
  }
  std::vector<Seen> records;

 private:
  bool open_ = false;
  Seen current_;
  std::vector<std::pair<std::string, std::string>> fields_;
};

// Feeds `warc` cut at `cuts` (ascending positions). With `skip_bodies`,
// body bytes after the first of each piece are skipped rather than fed and
// stand as filler in the collected body.
Result<std::vector<Seen>> streamed(std::string_view warc, const std::vector<std::size_t>& cuts,
                                   bool skip_bodies = false) {
  StreamFramer framer;
  Collector collector;
  std::size_t at = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(warc.size());
  for (const std::size_t end : ends) {
    while (at < end) {
      EXPECT_EQ(framer.position(), at);
      std::size_t stop = end;
      if (skip_bodies && framer.body_remaining() > 1) {
        const std::size_t skip = std::min(framer.body_remaining() - 1, end - at);
        framer.skip_body(skip);
        collector.body(warc.substr(at, skip));  // what the caller skipped in its source
        at += skip;
        continue;
      }
      if (Status status = framer.feed(warc.substr(at, stop - at), collector); !status) {
        return std::move(status).error();
      }
      at = stop;
    }
  }
  EXPECT_EQ(framer.position(), warc.size());
  if (Status status = framer.finish(collector); !status) return std::move(status).error();
  EXPECT_FALSE(framer.open_record().has_value());
  return std::move(collector.records);
}

void expect_same(std::string_view warc, const std::vector<std::size_t>& cuts,
                 bool skip_bodies = false) {
  const Result<std::vector<Seen>> expected = whole(warc);
  const Result<std::vector<Seen>> got = streamed(warc, cuts, skip_bodies);
  ASSERT_EQ(got.ok(), expected.ok()) << (got.ok() ? expected.error() : got.error()).display();
  if (expected.ok()) {
    EXPECT_EQ(got.value(), expected.value());
  } else {
    EXPECT_EQ(got.error(), expected.error())
        << got.error().display() << " vs " << expected.error().display();
  }
}

std::vector<std::size_t> random_cuts(std::mt19937& random, std::size_t size) {
  std::vector<std::size_t> cuts;
  std::size_t at = 0;
  while (size > 0) {
    at += 1 + random() % (random() % 4 == 0 ? 3 : 64);
    if (at >= size) break;
    cuts.push_back(at);
  }
  return cuts;
}

std::vector<std::size_t> every_byte(std::size_t size) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < size; ++i) cuts.push_back(i);
  return cuts;
}

class StreamedPrefixes : public ::testing::TestWithParam<unsigned> {};
class StreamedArchives : public ::testing::TestWithParam<unsigned> {};

TEST_P(StreamedPrefixes, EveryPrefixInAnyPiecesReadsAsWhole) {
  Generator generator(GetParam());
  std::mt19937 random(GetParam());
  for (int round = 0; round < 2; ++round) {
    std::vector<Expected> expected;
    const std::string warc = generator.archive(expected);
    for (std::size_t size = 0; size <= warc.size(); ++size) {
      const std::string_view prefix = std::string_view(warc).substr(0, size);
      SCOPED_TRACE("round " + std::to_string(round) + ", prefix " + std::to_string(size));
      expect_same(prefix, {});
      expect_same(prefix, random_cuts(random, size));
      expect_same(prefix, random_cuts(random, size), /*skip_bodies=*/true);
      if (HasFailure()) return;
    }
    expect_same(warc, every_byte(warc.size()));
  }
}

TEST_P(StreamedArchives, DamagedArchivesFailAsWhole) {
  Generator generator(GetParam());
  std::mt19937 random(GetParam() * 7919u);
  for (int round = 0; round < 40; ++round) {
    std::vector<Expected> expected;
    std::string warc = generator.archive(expected);
    if (warc.empty()) continue;
    // Overwrite, insert or delete a few bytes with ones the framing reacts to.
    for (int edit = 0; edit < 3; ++edit) {
      const std::size_t at = random() % warc.size();
      const char byte = "\r\n:W1+0\xc3\xff "[random() % 11];
      switch (random() % 3) {
        case 0:
          warc[at] = byte;
          break;
        case 1:
          warc.insert(warc.begin() + static_cast<std::ptrdiff_t>(at), byte);
          break;
        default:
          warc.erase(at, 1);
      }
      if (warc.empty()) break;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    expect_same(warc, {});
    expect_same(warc, random_cuts(random, warc.size()));
    expect_same(warc, every_byte(warc.size()), /*skip_bodies=*/true);
  }
}

// Each prefix run is quadratic in the archive's size, so fewer seeds.
INSTANTIATE_TEST_SUITE_P(Seeds, StreamedPrefixes, ::testing::Range(1u, 5u));
INSTANTIATE_TEST_SUITE_P(Seeds, StreamedArchives, ::testing::Range(1u, 21u));

// Records cut so that the open record, the separator lookahead and the held
// header bytes meet piece boundaries in every way.
TEST(StreamFramer, HandWrittenEdgesInEveryCut) {
  const std::string warcs[] = {
      sized_record("abc") + "\r\n\r",  // a separator begun but never finished
      sized_record("abc") + "\r\n\r\n\r\n" + sized_record("d") + "\n\n",
      sized_record("abc") + "\n" + sized_record(""),
      sized_record("x\r\n\r\n") + "\n\nWARC/1.",
      sized_record("") + "\r\nWARC/1.0\r\n",
      "\r\n\n\r" + sized_record(std::string(300, 'b'), {"WARC-Type: resource"}) + "\r\n\r\n",
      "WARC/1.1\r\nContent-Length: 2\r\n\r\n",
      "WARC/1.1\r\nContent-Length: 1\r\nX: \xff\r\n\r\nq",
      "WARC/1.1\r\nX: no length\r\n\r\n",
      "WARC/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "WARC/1.1\r\n\r\nContent-Length: 0\r\n\r\n",
      "garbage",
      "WA",
  };
  for (const std::string& warc : warcs) {
    SCOPED_TRACE(warc);
    for (std::size_t cut = 0; cut <= warc.size(); ++cut) {
      expect_same(warc, {cut});
      expect_same(std::string_view(warc).substr(0, cut), {});
    }
    expect_same(warc, every_byte(warc.size()));
  }
}

struct Boundary {
  std::size_t fed;
  std::optional<std::size_t> open;
};

TEST(StreamFramer, ReportsTheOpenRecordAndTheBodyStillExpected) {
  const std::string first = sized_record("body!");
  const std::string warc = "\r\n" + first + "\r\n\r\n" + "\n" + sized_record("");
  StreamFramer framer;
  Collector collector;
  const std::size_t body_at = 2 + first.size() - 5;
  const Boundary expected[] = {
      {2, std::nullopt},                // gap only
      {3, 2},                           // inside the version mark
      {body_at, 2},                     // header complete, body ahead
      {body_at + 5, 2},                 // body complete, separator undecided
      {body_at + 5 + 4, std::nullopt},  // separator complete
      {body_at + 5 + 5, std::nullopt},  // gap
      {warc.size(), body_at + 5 + 5},   // the last record awaits its separator
  };
  std::size_t at = 0;
  for (const Boundary& boundary : expected) {
    ASSERT_TRUE(framer.feed(std::string_view(warc).substr(at, boundary.fed - at), collector));
    at = boundary.fed;
    EXPECT_EQ(framer.open_record(), boundary.open) << "after " << at << " bytes";
    EXPECT_EQ(framer.body_remaining(), at == body_at ? 5u : 0u) << "after " << at << " bytes";
  }
  ASSERT_TRUE(framer.finish(collector));
  ASSERT_EQ(collector.records.size(), 2u);
  EXPECT_EQ(collector.records[0].separator, "\r\n\r\n");
  EXPECT_EQ(collector.records[1].offset, body_at + 5 + 5);
}

TEST(StreamFramer, KeepsItsFirstErrorAndCountsFromItsStart) {
  StreamFramer framer(1000);
  Collector collector;
  const Status bad = framer.feed("\r\nxyz", collector);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "invalid WARC record: expected WARC/1.1 at offset 1002");
  EXPECT_EQ(bad.error().offset(), 1002u);
  EXPECT_EQ(framer.feed(sized_record(""), collector).error(), bad.error());
  EXPECT_EQ(framer.finish(collector).error(), bad.error());
}

}  // namespace
}  // namespace quillmark::testing
