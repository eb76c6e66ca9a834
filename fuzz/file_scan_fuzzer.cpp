// The pass over archive files (FileScan, with a RecordListing behind it) on
// arbitrary bytes, plain or gzip, and on arbitrary data written as gzip
// members by zlib (see file_scan_input.hpp), read in short pieces with any
// inflater of the build. The oracle is plain code on zlib alone:
//  - plain input: the verdict, message and offset of index_records on the
//    bytes, and on success its very records;
//  - gzip input: the members as zlib walks them (zlib_members.hpp). If all
//    are good, the same as index_records on their output, every member
//    reported where zlib finds it. If one fails: the framing error of what
//    the good members before it hold, if framing that already fails, and
//    otherwise the gzip error of that member (or of the stray data), of the
//    same kind, at the same offset;
//  - always: the bytes the sink sees are those of the data wherever zlib
//    knows them, records in order with only CR and LF between them, no
//    record split between member groups, and a listing whose gzip places
//    inflate to exactly the records they stand for.
// One difference is allowed for, and checked as narrowly as it can be: the
// members libdeflate reads and zlib refuses (see libdeflate_reading.hpp);
// QM_FUZZ_STRICT=1 allows none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "file_scan_input.hpp"
#include "fuzz_check.hpp"
#include "libdeflate_reading.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/record_listing.hpp"
#include "record/owned/parse_records.hpp"
#include "record/record_index.hpp"
#include "record/stream_framer.hpp"
#include "scan_observer.hpp"
#include "zlib_members.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

namespace {

// `text` said to stand at `at` in data of which `known` is the start: equal
// as far as `known` reaches.
void require_known(std::string_view known, std::size_t at, std::string_view text) {
  if (at >= known.size()) return;
  const std::size_t n = std::min(text.size(), known.size() - at);
  QM_REQUIRE(known.substr(at, n) == text.substr(0, n));
}

// The records the sink saw, against the uncompressed data as far as it is
// known: the bytes of each, only CR and LF between them, all of it covered
// when the data is known whole and the pass succeeded.
void require_records_in(std::string_view known, const std::vector<SeenRecord>& records,
                        bool whole) {
  std::size_t pos = 0;
  for (const SeenRecord& record : records) {
    QM_REQUIRE(record.offset >= pos);
    if (pos < known.size()) {
      const std::size_t gap_end = std::min(record.offset, known.size());
      QM_REQUIRE(only_cr_lf(known.substr(pos, gap_end - pos)));
    }
    QM_REQUIRE(record.block.substr(0, 8) == "WARC/1.1");
    require_known(known, record.offset, record.block);
    const std::size_t body_at = record.offset + record.block.size();
    if (record.body_wanted) {
      QM_REQUIRE(record.body.size() <= record.body_size);
      QM_REQUIRE(!record.ended || record.body.size() == record.body_size);
      require_known(known, body_at, record.body);
    }
    if (!record.ended) {
      QM_REQUIRE(!whole);
      return;
    }
    QM_REQUIRE(record.separator.empty() || record.separator == "\r\n\r\n" ||
               record.separator == "\n\n");
    QM_REQUIRE(record.length == record.block.size() + record.body_size + record.separator.size());
    require_known(known, body_at + record.body_size, record.separator);
    pos = record.offset + record.length;
  }
  if (whole) QM_REQUIRE(pos <= known.size() && only_cr_lf(known.substr(pos)));
}

// A successful pass found exactly the records index_records finds.
void require_records_of(std::string_view warc, const Observer& seen, const FileScan& scan) {
  const auto index = index_records(warc);
  const auto parsed = parse_records(warc);
  QM_REQUIRE(index.ok() && parsed.ok());
  require_records_in(warc, seen.records, /*whole=*/true);
  require_tiling(warc, index->records);
  QM_REQUIRE(seen.records.size() == index->records.size());
  std::size_t manifests = 0;
  for (std::size_t i = 0; i < seen.records.size(); ++i) {
    const SeenRecord& record = seen.records[i];
    const RecordView& view = index->records[i];
    QM_REQUIRE(record.offset == view.offset && record.length == view.length);
    QM_REQUIRE(record.body_size == view.body.size());
    QM_REQUIRE(record.manifest == parsed.value()[i].is_c2pa_manifest());
    if (record.manifest) ++manifests;
  }
  QM_REQUIRE(scan.records() == seen.records.size());
  QM_REQUIRE(scan.manifest_records() == manifests);
  QM_REQUIRE(scan.content_size() == warc.size());

  // The listing: every record once, with its texts.
  QM_REQUIRE(seen.listed.size() == seen.records.size());
  for (std::size_t i = 0; i < seen.listed.size(); ++i) {
    const ListedCopy& listed = seen.listed[i];
    const SeenRecord& record = seen.records[i];
    QM_REQUIRE(listed.record.offset == record.offset && listed.record.length == record.length);
    QM_REQUIRE(listed.record.body_size == record.body_size);
    QM_REQUIRE(listed.record.manifest == record.manifest);
    QM_REQUIRE(listed.block == record.block);
    // The fields the framer split are the index's, name and value.
    const RecordView& view = index->records[i];
    QM_REQUIRE(listed.fields.size() == view.field_count);
    for (std::size_t f = 0; f < view.field_count; ++f) {
      const FieldView& field = index->fields[view.first_field + f];
      QM_REQUIRE(listed.fields[f].first == field.name && listed.fields[f].second == field.value);
    }
    QM_REQUIRE(listed.record.has_body == record.body_wanted);
    if (record.body_wanted) QM_REQUIRE(listed.body == index->records[i].body);
    if (!scan.compressed()) {
      QM_REQUIRE(!listed.record.gzip_offset && !listed.record.gzip_length);
    }
  }
}

// The first file position where the members reach uncompressed position `at`
// (a member starts or ends there), if any.
std::optional<std::size_t> member_boundary(const std::vector<ZlibMember>& members, std::size_t at) {
  for (const ZlibMember& member : members) {
    if (member.start == at) return member.compressed_start;
    if (member.end == at) return member.compressed_end;
  }
  return std::nullopt;
}

// A gzip file that read clean: members, groups and listed gzip places. The
// members are zlib's, so a span equal to one inflates to what it claims.
void require_members(std::string_view file, const ZlibWalk& walk, const Observer& seen,
                     const FileScan& scan) {
  QM_REQUIRE(seen.members.size() == walk.members.size());
  for (std::size_t i = 0; i < walk.members.size(); ++i) {
    const MemberSpan& span = seen.members[i];
    const ZlibMember& member = walk.members[i];
    QM_REQUIRE(span.compressed_start == member.compressed_start &&
               span.compressed_end == member.compressed_end);
    QM_REQUIRE(span.start == member.start && span.end == member.end);
    // The record left open at a member's end: one that crosses it, or one
    // whose end is only decided by what comes after (the three bytes or
    // fewer after its body could still begin a separator).
    const std::optional<std::size_t> open = seen.open_at_member_end[i];
    for (const SeenRecord& record : seen.records) {
      const std::size_t end = record.offset + record.length;
      if (record.offset < member.end && end > member.end) QM_REQUIRE(open == record.offset);
      if (open == record.offset) {
        QM_REQUIRE(record.offset < member.end && member.end - std::min(end, member.end) <= 3);
      }
    }
  }

  // Groups: consecutive runs of whole members, none splitting a record.
  std::size_t members = 0, records = 0, manifests = 0;
  std::size_t compressed_at = 0, at = 0;
  for (const MemberGroup& group : seen.groups) {
    QM_REQUIRE(group.members > 0 && members + group.members <= walk.members.size());
    QM_REQUIRE(group.compressed_start == compressed_at && group.start == at);
    const ZlibMember& last = walk.members[members + group.members - 1];
    QM_REQUIRE(group.compressed_end == last.compressed_end && group.end == last.end);
    std::size_t inside = 0, manifests_inside = 0;
    for (const SeenRecord& record : seen.records) {
      if (record.offset < group.start || record.offset >= group.end) continue;
      QM_REQUIRE(record.offset + record.length <= group.end);
      ++inside;
      if (record.manifest) ++manifests_inside;
    }
    QM_REQUIRE(group.records == inside && group.manifests == manifests_inside);
    members += group.members;
    records += inside;
    manifests += manifests_inside;
    compressed_at = group.compressed_end;
    at = group.end;
  }
  QM_REQUIRE(members == walk.members.size() && records == seen.records.size());
  QM_REQUIRE(manifests == scan.manifest_records());

  // One record per member: each member holds the start and end of exactly one.
  bool one_each = !seen.records.empty();
  for (const ZlibMember& member : walk.members) {
    std::size_t held = 0;
    for (const SeenRecord& record : seen.records) {
      if (record.offset >= member.start && record.offset < member.end &&
          record.offset + record.length <= member.end) {
        ++held;
      } else if (record.offset < member.end && record.offset + record.length > member.start) {
        held = 2;  // a record that crosses the member's edge
      }
    }
    one_each = one_each && held == 1;
  }
  QM_REQUIRE(scan.one_record_per_member() == one_each);

  // Listed gzip places: where a record starts a member, the member's place;
  // its length up to where the next record (or the end) starts one; that
  // range inflates to exactly the record and the gap after it.
  for (std::size_t i = 0; i < seen.listed.size(); ++i) {
    const ListedRecord& listed = seen.listed[i].record;
    const std::size_t following =
        i + 1 < seen.listed.size() ? seen.listed[i + 1].record.offset : walk.output.size();
    const std::optional<std::size_t> place = member_boundary(walk.members, listed.offset);
    const std::optional<std::size_t> stop = member_boundary(walk.members, following);
    QM_REQUIRE(listed.gzip_offset == place);
    if (!place || !stop) {
      QM_REQUIRE(!listed.gzip_length);
      continue;
    }
    QM_REQUIRE(listed.gzip_length == *stop - *place);
    const ZlibWalk alone = walk_members(file.substr(*place, *listed.gzip_length), false);
    QM_REQUIRE(alone.end == WalkEnd::Clean);
    QM_REQUIRE(alone.output ==
               std::string_view(walk.output).substr(listed.offset, following - listed.offset));
  }
}

// The Error of a failed gzip walk; for a corrupt member only the start of
// its message, since the detail in parentheses is the library's.
Error gzip_error(const ZlibWalk& walk) {
  const std::string at = std::to_string(walk.failed_at);
  switch (walk.end) {
    case WalkEnd::Truncated:
      return Error::gzip("gzip member at byte " + at + " is truncated", walk.failed_at);
    case WalkEnd::Corrupt:
      return Error::gzip("gzip member at byte " + at + " is corrupt (", walk.failed_at);
    default:
      return Error::gzip("unexpected data after gzip member at byte " + at, walk.failed_at);
  }
}

// A failed pass reported the members it got through, as zlib found them.
void require_member_prefix(const ZlibWalk& walk, const Observer& seen) {
  QM_REQUIRE(seen.members.size() <= walk.members.size());
  for (std::size_t i = 0; i < seen.members.size(); ++i) {
    QM_REQUIRE(seen.members[i].compressed_start == walk.members[i].compressed_start &&
               seen.members[i].compressed_end == walk.members[i].compressed_end);
    QM_REQUIRE(seen.members[i].start == walk.members[i].start &&
               seen.members[i].end == walk.members[i].end);
  }
}

struct Ends {
  std::vector<std::pair<std::size_t, std::size_t>> records;
  void field(std::string_view, std::string_view) {}
  void header(std::size_t, std::string_view, std::size_t) {}
  void body(std::string_view) {}
  void end(std::size_t offset, std::size_t length, std::string_view) {
    records.emplace_back(offset, length);
  }
};

void check_gzip(std::string_view file, const FileScanInput& input, const Status& status,
                const Observer& seen, const FileScan& scan) {
  // A member zlib refuses that the pass did not refuse is held to the one
  // known reading of libdeflate's that differs (libdeflate_reading.hpp).
  SecondReader second;
  if (libdeflate_reading_allowed(input.inflater == gzip::Inflater::Libdeflate)) {
    second = [&](std::string_view rest, const std::string& detail, const std::string& partial) {
      const auto at = static_cast<std::size_t>(rest.data() - file.data());
      const bool refused =
          !status.ok() && status.error().kind() == ErrorKind::Gzip && status.error().offset() == at;
      return refused ? std::nullopt : libdeflate_reading(rest, detail, partial);
    };
  }
  const ZlibWalk walk = walk_members(file, input.padding_allowed, second);
  if (walk.end == WalkEnd::Clean) {
    const auto expected = index_records(walk.output);
    QM_REQUIRE(status.ok() == expected.ok());
    if (!expected.ok()) {
      QM_REQUIRE(status.error() == expected.error());
      require_member_prefix(walk, seen);
      require_records_in(walk.output, seen.records, false);
      return;
    }
    require_records_of(walk.output, seen, scan);
    require_members(file, walk, seen, scan);
    return;
  }

  // A failing member (or stray data): what the good members before it hold,
  // fed to a framer without an end, decides whether framing fails first.
  StreamFramer framer;
  Ends framed;
  const Status before = framer.feed(walk.output, framed);
  QM_REQUIRE(!status.ok());
  const Error& error = status.error();
  std::string known = walk.output;
  if (!before.ok()) {
    QM_REQUIRE(error == before.error());
  } else {
    const Error expected = gzip_error(walk);
    QM_REQUIRE(error.kind() == ErrorKind::Gzip && error.offset() == expected.offset());
    if (walk.end == WalkEnd::Corrupt) {
      const std::string& message = error.detail();
      QM_REQUIRE(message.size() > expected.detail().size() + 1 && message.back() == ')');
      QM_REQUIRE(message.compare(0, expected.detail().size(), expected.detail()) == 0);
    } else {
      QM_REQUIRE(error == expected);
    }
    QM_REQUIRE(error.display() == error.detail());
    // Every member before the failing one was walked and reported, and so
    // was every record their data completes.
    QM_REQUIRE(seen.members.size() == walk.members.size());
    QM_REQUIRE(seen.ended >= framed.records.size());
    for (std::size_t i = 0; i < framed.records.size(); ++i) {
      QM_REQUIRE(seen.records[i].offset == framed.records[i].first &&
                 seen.records[i].length == framed.records[i].second);
    }
    known += walk.partial;
  }
  require_member_prefix(walk, seen);
  require_records_in(known, seen.records, false);
}

void check_plain(std::string_view file, const Status& status, const Observer& seen,
                 const FileScan& scan) {
  const auto expected = index_records(file);
  QM_REQUIRE(status.ok() == expected.ok());
  QM_REQUIRE(seen.members.empty() && seen.groups.empty());
  if (!expected.ok()) {
    QM_REQUIRE(status.error() == expected.error());
    require_records_in(file, seen.records, false);
    return;
  }
  require_records_of(file, seen, scan);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const FileScanInput input =
      read_file_scan_input(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view file = input.file;
  MemoryInput source(file, input.read_size, input.seekable);
  Observer seen(input.bodies, input.batch_records, input.batch_bytes);
  ScanOptions options;
  options.inflater = input.inflater;
  if (input.force_gzip) options.compressed = true;
  options.padding_allowed = input.padding_allowed;

  FileScan scan(source, seen, options);
  Status status = Ok{};
  for (;;) {
    const auto progress = std::tuple(scan.consumed(), scan.content_size(), seen.ended);
    status = scan.run(input.budget);
    seen.take_listing();
    if (!status || scan.done()) break;
    // A run that returns without an error and before the end has moved on.
    QM_REQUIRE(std::tuple(scan.consumed(), scan.content_size(), seen.ended) != progress);
  }
  if (!status) {
    const Status again = scan.run(input.budget);
    QM_REQUIRE(!again.ok() && again.error() == status.error());
  } else {
    QM_REQUIRE(scan.consumed() == file.size());
  }
  seen.finish_listing(status.ok());

  const bool gzip = input.force_gzip || file.substr(0, 2) == "\x1f\x8b";
  QM_REQUIRE(seen.begun && scan.compressed() == gzip);
  if (gzip) {
    check_gzip(file, input, status, seen, scan);
  } else {
    check_plain(file, status, seen, scan);
  }
  return 0;
}
