// The pass over archive files against the whole-archive reader and zlib: for
// every inflater of the build, gzip members cut anywhere (across records,
// inside them, empty, larger than the pass's buffers) and inputs that hand
// out short reads, the pass must report every member where it lies and find
// exactly the records that index_records finds in the uncompressed data, or
// the same Error; damaged gzip data must be reported at the damaged member,
// the same way by every inflater.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive_generator.hpp"
#include "gzip_testing.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/gzip_inflater.hpp"
#include "record/file/record_listing.hpp"
#include "record/record_index.hpp"

namespace quillmark::testing {
namespace {

struct SeenRecord {
  std::size_t offset = 0, length = 0;
  bool manifest = false;
  friend bool operator==(const SeenRecord&, const SeenRecord&) = default;
};

// Everything the scan reports.
class Recorder final : public ScanSink {
 public:
  Status record_begin(const RecordStart& record) override {
    open_ = SeenRecord{record.offset, 0, record.manifest};
    return Ok{};
  }
  Status record_end(std::size_t, std::size_t length, std::string_view) override {
    open_.length = length;
    records.push_back(open_);
    return Ok{};
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t>) override {
    members.push_back(member);
    return Ok{};
  }
  Status group_closed(const MemberGroup& group) override {
    groups.push_back(group);
    return Ok{};
  }

  std::vector<SeenRecord> records;
  std::vector<MemberSpan> members;
  std::vector<MemberGroup> groups;

 private:
  SeenRecord open_;
};

struct Outcome {
  Status status = Ok{};
  Recorder seen;
  std::size_t content_size = 0;
  bool compressed = false;
  bool one_record_per_member = false;
};

Outcome scan_input(Input& input, gzip::Inflater inflater, std::size_t budget) {
  Outcome outcome;
  ScanOptions options;
  options.inflater = inflater;
  FileScan pass(input, outcome.seen, options);
  do {
    outcome.status = pass.run(budget);
  } while (outcome.status && !pass.done());
  outcome.content_size = pass.content_size();
  outcome.compressed = pass.compressed();
  outcome.one_record_per_member = pass.one_record_per_member();
  return outcome;
}

// The file read from memory in steps of `step` bytes (step 0: from a file on
// disk, which a gzip pass maps).
Outcome scan(const std::string& file, gzip::Inflater inflater, std::size_t step,
             std::size_t budget = 0) {
  if (step == 0) {
    TemporaryFile disk(file);
    Result<FileInput> input = FileInput::open(disk.fd());
    EXPECT_TRUE(input);
    return scan_input(input.value(), inflater, budget);
  }
  MemoryInput input(file, step);
  return scan_input(input, inflater, budget);
}

std::vector<SeenRecord> expected_records(std::string_view warc) {
  std::vector<SeenRecord> out;
  Result<RecordIndex> index = index_records(warc);
  if (!index) return out;
  for (const RecordView& record : index->records) {
    out.push_back(SeenRecord{record.offset, record.length, false});
  }
  return out;
}

// A generated archive, with now and then a large body that compresses well
// (its member inflates to more than the whole-member buffer) or not at all
// (its member is larger than the input window).
std::string archive(unsigned seed, std::mt19937& random) {
  std::vector<Expected> expected;
  std::string warc = Generator(seed).archive(expected);
  if (seed % 4 == 1) {
    const std::size_t size = (5u << 20) + random() % 4096;
    std::string body;
    body.reserve(size);
    while (body.size() < size) body += "<p>repeated markup " + std::to_string(random() % 7);
    body.resize(size);
    warc += "WARC/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + body + "\r\n\r\n";
  } else if (seed % 4 == 3) {
    const std::size_t size = (4u << 20) + (1u << 19) + random() % 4096;
    std::string body(size, '\0');
    for (char& c : body) c = static_cast<char>(random());
    warc += "WARC/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + body + "\r\n\r\n";
  }
  return warc;
}

TEST(FileScan, MembersCutAnywhereAreWalkedWithTheirPlaces) {
  for (unsigned seed = 0; seed < 24; ++seed) {
    std::mt19937 random(seed);
    const std::string warc = archive(seed, random);
    std::set<std::size_t> cut_set{0, warc.size()};
    const std::size_t cuts = random() % 12;
    for (std::size_t i = 0; i < cuts && !warc.empty(); ++i) cut_set.insert(random() % warc.size());
    if (seed % 5 == 0) cut_set.insert(warc.size() / 2);  // sometimes an empty member too
    const std::vector<std::size_t> points(cut_set.begin(), cut_set.end());
    std::string file;
    std::vector<std::string> members;
    for (std::size_t i = 0; i + 1 < points.size() || members.empty(); ++i) {
      const std::size_t from = points[std::min(i, points.size() - 1)];
      const std::size_t to = i + 1 < points.size() ? points[i + 1] : from;
      members.push_back(gzip_member(std::string_view(warc).substr(from, to - from),
                                    static_cast<int>(1 + random() % 9)));
      file += members.back();
      if (seed % 5 == 0 && i == 0) {  // an empty member
        members.push_back(gzip_member("", 6));
        file += members.back();
      }
    }
    const std::vector<SeenRecord> expected = expected_records(warc);
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      for (std::size_t step : {std::size_t{0}, std::size_t{1} << 30, std::size_t{4093}}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " +
                     std::string(gzip::inflater_name(inflater)) + ", reads of " +
                     std::to_string(step));
        const Outcome outcome = scan(file, inflater, step, seed % 2 ? 1 << 16 : 0);
        ASSERT_TRUE(outcome.status) << outcome.status.error().display();
        EXPECT_TRUE(outcome.compressed);
        EXPECT_EQ(outcome.content_size, warc.size());
        std::vector<SeenRecord> seen = outcome.seen.records;
        for (SeenRecord& record : seen) record.manifest = false;
        EXPECT_EQ(seen, expected);
        ASSERT_EQ(outcome.seen.members.size(), members.size());
        std::size_t at = 0;
        for (std::size_t i = 0; i < members.size(); ++i) {
          const MemberSpan& span = outcome.seen.members[i];
          EXPECT_EQ(span.compressed_start, at);
          EXPECT_EQ(span.compressed_end, at + members[i].size());
          EXPECT_EQ(zlib_inflate(std::string_view(file).substr(
                        span.compressed_start, span.compressed_end - span.compressed_start)),
                    warc.substr(span.start, span.end - span.start));
          at = span.compressed_end;
        }
        // The groups tile the file, and none splits a record.
        std::size_t grouped = 0;
        for (const MemberGroup& group : outcome.seen.groups) {
          EXPECT_EQ(group.compressed_start, grouped);
          grouped = group.compressed_end;
          for (const SeenRecord& record : expected) {
            const bool starts_inside = record.offset >= group.start && record.offset < group.end;
            if (starts_inside) {
              EXPECT_LE(record.offset + record.length, group.end);
            }
          }
        }
        EXPECT_EQ(grouped, file.size());
      }
    }
  }
}

TEST(FileScan, OneMemberPerRecordIsTold) {
  for (unsigned seed = 0; seed < 12; ++seed) {
    std::vector<Expected> expected;
    const std::string warc = Generator(seed).archive(expected);
    if (expected.empty()) continue;
    std::string aligned, shifted;
    // Members cut at record ends: the gap bytes after a record stay in its member.
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const std::size_t from = i == 0 ? 0 : expected[i].offset;
      const std::size_t to = i + 1 < expected.size() ? expected[i + 1].offset : warc.size();
      aligned += gzip_member(std::string_view(warc).substr(from, to - from), 6);
    }
    // One member for everything but the first byte of the last record.
    const std::size_t cut = expected.back().offset + 1;
    shifted = gzip_member(std::string_view(warc).substr(0, cut), 6) +
              gzip_member(std::string_view(warc).substr(cut), 6);
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      SCOPED_TRACE(seed);
      const Outcome one = scan(aligned, inflater, 1 << 20);
      ASSERT_TRUE(one.status);
      // A member that also holds the gap before the next record still holds one record.
      EXPECT_TRUE(one.one_record_per_member);
      const Outcome other = scan(shifted, inflater, 1 << 20);
      ASSERT_TRUE(other.status);
      EXPECT_FALSE(other.one_record_per_member);
    }
  }
}

// A short archive of one member per record.
std::string small_gzip_archive(std::vector<std::size_t>& member_starts) {
  std::vector<Expected> expected;
  const std::string warc = Generator(7).archive(expected);
  std::string file;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::size_t from = i == 0 ? 0 : expected[i].offset;
    const std::size_t to = i + 1 < expected.size() ? expected[i + 1].offset : warc.size();
    member_starts.push_back(file.size());
    file += gzip_member(std::string_view(warc).substr(from, to - from), 9);
  }
  return file;
}

TEST(FileScan, AFileCutShortWhileItIsReadIsAnErrorNotACrash) {
  for (const bool compressed : {true, false}) {
    std::mt19937 random(11);
    std::string data;
    for (int i = 0; i < 40; ++i) {  // 40 MiB that does not compress: several mapped windows
      std::string body(1 << 20, '\0');
      for (char& c : body) c = static_cast<char>(random());
      const std::string record = "WARC/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\n\r\n" + body + "\r\n\r\n";
      data += compressed ? gzip_member(record, 1) : record;
    }
    TemporaryFile disk(data);
    Result<FileInput> input = FileInput::open(disk.fd());
    ASSERT_TRUE(input);
    Recorder seen;
    FileScan pass(input.value(), seen);
    ASSERT_TRUE(pass.run(2 << 20));
    ASSERT_EQ(ftruncate(disk.fd(), 3 << 20), 0);  // beneath the pass, as another program might
    Status status = Ok{};
    while (status && !pass.done()) status = pass.run(2 << 20);
    ASSERT_FALSE(status) << (compressed ? "gzip" : "plain");
    EXPECT_EQ(status.error().kind(), ErrorKind::Io);
    EXPECT_EQ(status.error().io_error(), std::errc::io_error);
  }
}

TEST(FileScan, EveryTruncationIsReportedAtItsMember) {
  std::vector<std::size_t> starts;
  const std::string file = small_gzip_archive(starts);
  ASSERT_GT(starts.size(), 3u);
  for (std::size_t cut = 1; cut < file.size(); ++cut) {
    // The member the cut falls in, and whether it falls on a member's start.
    const auto after = std::upper_bound(starts.begin(), starts.end(), cut);
    const std::size_t member = *(after - 1);
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      SCOPED_TRACE("cut at " + std::to_string(cut) + ", " +
                   std::string(gzip::inflater_name(inflater)));
      const Outcome outcome = scan(file.substr(0, cut), inflater, 1 << 20);
      if (member == cut) {
        EXPECT_TRUE(outcome.status);
        continue;
      }
      ASSERT_FALSE(outcome.status);
      const Error& error = outcome.status.error();
      EXPECT_EQ(error.kind(), cut == 1 ? ErrorKind::InvalidRecord : ErrorKind::Gzip);
      EXPECT_EQ(error.offset(), member);
      const std::string where = std::to_string(member);
      if (cut == 1) {  // one byte is not even gzip: the file reads as a plain archive
        EXPECT_EQ(error.display(), "invalid WARC record: expected WARC/1.1 at offset 0");
      } else if (cut - member == 1) {  // one byte cannot be told from stray data
        EXPECT_EQ(error.display(), "unexpected data after gzip member at byte " + where);
      } else {
        EXPECT_EQ(error.display(), "gzip member at byte " + where + " is truncated");
      }
    }
  }
}

TEST(FileScan, DamagedMembersAreReportedAliveByEveryInflater) {
  std::vector<std::size_t> starts;
  const std::string file = small_gzip_archive(starts);
  std::mt19937 random(3);
  for (int trial = 0; trial < 400; ++trial) {
    std::string damaged = file;
    const std::size_t at = random() % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
    std::optional<std::pair<ErrorKind, std::size_t>> first;
    std::optional<std::string> first_text;
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      SCOPED_TRACE("byte " + std::to_string(at) + ", " +
                   std::string(gzip::inflater_name(inflater)));
      const Outcome outcome = scan(damaged, inflater, 1 << 20);
      const auto verdict = outcome.status ? std::pair(ErrorKind::NoManifest, std::size_t{0})
                                          : std::pair(outcome.status.error().kind(),
                                                      outcome.status.error().offset());
      if (!first) first = verdict;
      EXPECT_EQ(verdict, *first);  // the same kind of failure, at the same place
      if (!outcome.status && verdict.first == ErrorKind::InvalidRecord) {
        if (!first_text) first_text = outcome.status.error().display();
        EXPECT_EQ(outcome.status.error().display(), *first_text);
      }
    }
  }
}

// Gzip headers with every optional field, and with fields that must be refused.
TEST(FileScan, GzipHeaderFieldsReadTheSameWithEveryInflater) {
  const std::string record = "WARC/1.1\r\nContent-Length: 2\r\n\r\nhi\r\n\r\n";
  const std::string plain = gzip_member(record, 6);
  const std::string deflated = plain.substr(10);  // raw deflate data and the trailer
  struct Case {
    const char* name;
    std::string header;
    bool accepted;
  };
  const auto header = [](unsigned char flags, std::string extra) {
    std::string h = std::string("\x1f\x8b\x08", 3) + static_cast<char>(flags) +
                    std::string("\0\0\0\0\0\x03", 6);
    return h + extra;
  };
  const auto crc16 = [](const std::string& bytes) {
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    return std::string{static_cast<char>(crc & 0xff), static_cast<char>((crc >> 8) & 0xff)};
  };
  const std::string with_crc = header(0x02, "");
  std::vector<Case> cases = {
      {"plain", header(0, ""), true},
      {"name", header(0x08, std::string("crawl.warc\0", 11)), true},
      {"comment", header(0x10, std::string("a comment\0", 10)), true},
      {"extra",
       header(0x04, std::string("\x04\x00"
                                "ab\x01\x02",
                                6)),
       true},
      {"header crc", with_crc + crc16(with_crc), true},
      {"wrong header crc", with_crc + std::string("\x00\x00", 2), false},
      {"reserved flag", header(0x20, ""), false},
      {"method 7", std::string("\x1f\x8b\x07\x00\0\0\0\0\0\x03", 10), false},
  };
  for (const Case& c : cases) {
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::string(gzip::inflater_name(inflater)));
      const std::string file = c.header + deflated + plain;  // a second, ordinary member
      const Outcome outcome = scan(file, inflater, 1 << 20);
      EXPECT_EQ(static_cast<bool>(outcome.status), c.accepted);
      if (c.accepted) {
        EXPECT_EQ(outcome.seen.records.size(), 2u);
      } else {
        ASSERT_FALSE(outcome.status);
        EXPECT_EQ(outcome.status.error().kind(), ErrorKind::Gzip);
        EXPECT_EQ(outcome.status.error().offset(), 0u);
      }
    }
  }
}

// A member that is both damaged and cut short is corrupt or truncated as
// zlib has it, with every inflater: ISA-L checks a trailer, and the header of
// a block, only once it has the whole of it, but refuses a block whose code
// length code is empty at once, where zlib reads on.
TEST(FileScan, DamagedAndCutShortReadsAsZlibReadsIt) {
  const std::string first = gzip_member("WARC/1.1\r\nContent-Length: 2\r\n\r\nhi\r\n\r\n", 6);
  std::string wrong_crc = gzip_member("WARC/1.1\r\nContent-Length: 0\r\n\r\n", 6);
  wrong_crc[wrong_crc.size() - 8] ^= 1;
  wrong_crc.pop_back();  // three bytes of the length are left
  // A dynamic block whose code length code zlib refuses (it is incomplete),
  // cut off within the header of the block.
  const std::string wrong_lengths(
      "\x1f\x8b\x08\x00\xf9\x77\x61\x72\x63\x2d\x0c\x64\x61\x74\x65"
      "\x00\x00\x00\x00\x00\x00",
      21);
  // A last dynamic block whose code length code is empty, then nothing.
  const std::string empty_lengths("\x1f\x8b\x08\x00\0\0\0\0\0\x03\x05\0\0\0", 14);
  const std::string where = "gzip member at byte " + std::to_string(first.size()) + " is ";
  const std::pair<std::string, std::string> cases[] = {
      {wrong_crc, "corrupt ("}, {wrong_lengths, "corrupt ("}, {empty_lengths, "truncated"}};
  for (const auto& [damaged, verdict] : cases) {
    for (gzip::Inflater inflater : gzip::built_inflaters()) {
      for (std::size_t step : {std::size_t{1} << 20, std::size_t{3}}) {
        SCOPED_TRACE(std::string(gzip::inflater_name(inflater)) + ", reads of " +
                     std::to_string(step));
        const Outcome outcome = scan(first + damaged, inflater, step);
        ASSERT_FALSE(outcome.status);
        EXPECT_EQ(outcome.status.error().kind(), ErrorKind::Gzip);
        EXPECT_EQ(outcome.status.error().offset(), first.size());
        EXPECT_EQ(outcome.status.error().display().substr(0, where.size() + verdict.size()),
                  where + verdict);
      }
    }
  }
}

// A record whose header block goes on into a later member still starts the
// member it starts in: the listing gives that member's place, and the record
// before it the compressed length up to there.
TEST(RecordListing, HeaderAcrossMembersKeepsItsPlace) {
  const std::string first = "WARC/1.1\r\nContent-Length: 1\r\n\r\na\r\n\r\n";
  const std::string second = "WARC/1.1\r\nContent-Length: 1\r\n\r\nb\r\n\r\n";
  const std::vector<std::string> members = {gzip_member(first, 6),
                                            gzip_member(second.substr(0, 12), 6),
                                            gzip_member(second.substr(12), 6)};
  const std::string file = members[0] + members[1] + members[2];
  for (gzip::Inflater inflater : gzip::built_inflaters()) {
    SCOPED_TRACE(gzip::inflater_name(inflater));
    MemoryInput input(file, 1 << 20);
    RecordListing listing(false, 1000, 1 << 20);
    ScanOptions options;
    options.inflater = inflater;
    FileScan pass(input, listing, options);
    Status status = Ok{};
    do {
      status = pass.run();
    } while (status && !pass.done());
    ASSERT_TRUE(status);
    listing.finish(true);
    ASSERT_EQ(listing.ready().size(), 2u);
    const ListedRecord& a = listing.ready()[0];
    const ListedRecord& b = listing.ready()[1];
    EXPECT_EQ(a.gzip_offset, std::optional<std::size_t>(0));
    EXPECT_EQ(a.gzip_length, std::optional<std::size_t>(members[0].size()));
    EXPECT_EQ(b.gzip_offset, std::optional<std::size_t>(members[0].size()));
    EXPECT_EQ(b.gzip_length, std::optional<std::size_t>(members[1].size() + members[2].size()));
  }
}

TEST(FileScan, PlainInputIsFramedAsTheWholeArchiveReaderFramesIt) {
  for (unsigned seed = 0; seed < 40; ++seed) {
    std::vector<Expected> expected;
    std::string warc = Generator(seed).archive(expected);
    std::mt19937 random(seed);
    if (seed % 3 == 0 && !warc.empty()) warc.resize(random() % warc.size());  // damaged
    Result<RecordIndex> whole = index_records(warc);
    for (std::size_t step : {std::size_t{0}, std::size_t{1 + random() % 97}}) {  // 0: mapped
      const Outcome outcome = scan(warc, gzip::Inflater::Zlib, step);
      EXPECT_FALSE(outcome.compressed);
      ASSERT_EQ(static_cast<bool>(outcome.status), static_cast<bool>(whole)) << seed;
      if (!whole) {
        EXPECT_EQ(outcome.status.error(), whole.error());
      } else {
        std::vector<SeenRecord> seen = outcome.seen.records;
        for (SeenRecord& record : seen) record.manifest = false;
        EXPECT_EQ(seen, expected_records(warc));
      }
    }
  }
}

}  // namespace
}  // namespace quillmark::testing
