// The digests a pass computes of its input, against SHA-256 and CRC-32 of the
// same bytes read alone: the whole input, a byte range of a larger file, and
// the bytes before the last manifest record (or its gzip member) with what
// follows it, on one thread and on several, for every layout of
// digest_archives.hpp; every cut of a file fails cleanly or digests what is
// there. An append's digests of what it wrote, against the bytes of its
// output; the old store it removed; and an append whose manifest is deferred
// writes what the one given its manifest at once writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <string>

#include "digest/sha256.hpp"
#include "digest_archives.hpp"
#include "gzip_testing.hpp"
#include "record/file/crc32.hpp"
#include "record/file/input_digest.hpp"
#include "record/file/manifest_keeper.hpp"
#include "record/file/parallel_scan.hpp"
#include "record/file/record_listing.hpp"
#include "record/file/sink_pair.hpp"
#include "record/manifest.hpp"
#include "writer/appender.hpp"
#include "writer/file/file_append.hpp"

namespace quillmark::testing {
namespace {

struct Digested {
  Status status = Ok{};
  std::optional<InputDigests> digests;
  std::optional<std::string> manifest;
};

// A check of the file's bytes [start, end) with the digests asked for, or a
// listing of its records with their bodies, taken two at a time.
Digested check(int fd, std::size_t start, std::size_t end, const InputDigestOptions& options,
               unsigned threads = 1, std::size_t part_size = 0, std::size_t budget = 0,
               bool listing = false) {
  Digested out;
  Result<FileInput> input = FileInput::open(fd, start, end);
  EXPECT_TRUE(input);
  Result<std::unique_ptr<InputDigest>> digest = InputDigest::start(input.value(), options);
  EXPECT_TRUE(digest);
  ManifestKeeper keeper;
  RecordListing records(/*bodies=*/true, 2, std::size_t{1} << 20);
  SinkPair sinks(listing ? static_cast<ScanSink&>(records) : keeper, *digest.value());
  std::unique_ptr<Pass> pass = make_pass(input.value(), sinks, ScanOptions{}, threads, part_size);
  const auto take = [&] {
    for (const ListedRecord& record : records.ready()) {
      if (record.manifest) out.manifest = std::string(records.body(record));
    }
    records.take();
  };
  do {
    out.status = pass->run(budget);
    take();
  } while (out.status && !pass->done());
  if (!out.status) return out;
  records.finish(true);
  take();
  if (!listing) out.manifest = keeper.manifest();
  Result<InputDigests> digests = digest.value()->finish();
  if (!digests) {
    out.status = std::move(digests).error();
    return out;
  }
  out.digests = std::move(digests).value();
  return out;
}

void expect_digests(const Digested& got, const DigestArchive& archive,
                    const InputDigestOptions& options) {
  ASSERT_TRUE(got.status) << got.status.error().display();
  const InputDigests& digests = *got.digests;
  EXPECT_EQ(digests.size, archive.file.size());
  EXPECT_EQ(digests.crc32,
            options.crc32 ? std::optional(gzip::crc32(0, archive.file)) : std::nullopt);
  EXPECT_EQ(digests.sha256,
            options.sha256 ? std::optional(digest::sha256(archive.file)) : std::nullopt);
  if (!options.covered || !archive.covered) {
    EXPECT_FALSE(digests.covered);
    return;
  }
  ASSERT_TRUE(digests.covered);
  const CoveredBytes& covered = *digests.covered;
  const ExpectedCovered& expected = *archive.covered;
  EXPECT_EQ(covered.end, expected.end);
  EXPECT_EQ(digest::to_hex(covered.sha256),
            digest::to_hex(digest::sha256(std::string_view(archive.file).substr(0, expected.end))));
  EXPECT_EQ(covered.last_record, expected.last_record);
  EXPECT_EQ(covered.nothing_after, expected.nothing_after);
  EXPECT_EQ(covered.own_member, expected.own_member);
}

TEST(InputDigest, EveryDigestIsThatOfTheBytesReadAlone) {
  const InputDigestOptions option_sets[] = {
      {true, true, true}, {false, false, true}, {false, true, false}, {true, false, true}};
  for (unsigned seed = 0; seed < 60; ++seed) {
    DigestArchives archives(seed);
    const DigestArchive archive = archives.next();
    std::mt19937 random(seed);
    // The archive as a byte range of a larger file, every other seed.
    const std::string before(seed % 2 ? random() % 3000 : 0, 'b');
    const std::string after(seed % 2 ? random() % 3000 : 0, 'a');
    TemporaryFile disk(before + archive.file + after);
    for (const InputDigestOptions& options : option_sets) {
      for (unsigned threads : {1u, 2u}) {
        const std::size_t part_size = threads == 1 ? 0 : 64 + random() % 2000;
        const std::size_t budget = random() % 2 ? 0 : 1 + random() % 4000;
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + archive.what + ", " +
                     std::to_string(threads) + " threads, covered " +
                     std::to_string(options.covered));
        const bool listing = random() % 2;
        const Digested got = check(disk.fd(), before.size(), before.size() + archive.file.size(),
                                   options, threads, part_size, budget, listing);
        expect_digests(got, archive, options);
        // The sink beside the digests got what it asked for.
        const Result<std::string_view> store = locate_manifest(archive.content);
        EXPECT_EQ(got.manifest, store ? std::optional<std::string>(store.value()) : std::nullopt);
      }
    }
  }
}

TEST(InputDigest, EveryCutOfAFileFailsCleanlyOrDigestsWhatIsThere) {
  const InputDigestOptions all{true, true, true};
  int cuts = 0;
  for (unsigned seed = 100; cuts < 12000; ++seed) {
    DigestArchives archives(seed);
    const DigestArchive archive = archives.next();
    if (archive.file.size() > 3000) continue;
    TemporaryFile disk(archive.file);
    for (std::size_t size = 0; size < archive.file.size(); ++size, ++cuts) {
      const Digested got = check(disk.fd(), 0, size, all, 1 + size % 2, 64);
      if (!got.status) continue;  // the pass refused it, with its error
      const std::string_view there = std::string_view(archive.file).substr(0, size);
      ASSERT_EQ(got.digests->sha256, digest::sha256(there)) << archive.what << ", cut at " << size;
      ASSERT_EQ(got.digests->crc32, gzip::crc32(0, there));
      if (got.digests->covered) {
        const std::size_t end = got.digests->covered->end;
        ASSERT_LT(end, size);
        ASSERT_EQ(got.digests->covered->sha256, digest::sha256(there.substr(0, end)));
        ASSERT_TRUE(got.manifest);
      }
    }
  }
}

TEST(InputDigest, AFileCutShortMeanwhileIsAnErrorSayingWhere) {
  DigestArchives archives(7);
  const DigestArchive archive = archives.next();
  TemporaryFile disk("xx" + archive.file);
  Result<FileInput> input = FileInput::open(disk.fd(), 2);
  ASSERT_TRUE(input);
  Result<std::unique_ptr<InputDigest>> digest = InputDigest::start(input.value(), {true, true});
  ASSERT_TRUE(digest);
  ASSERT_EQ(::ftruncate(disk.fd(), 10), 0);
  const Result<InputDigests> digests = digest.value()->finish();
  ASSERT_FALSE(digests);
  EXPECT_EQ(digests.error().display(), "I/O error: the file ends at byte 10, before byte " +
                                           std::to_string(archive.file.size() + 2));

  // Nothing to digest, or a pipe: refused.
  EXPECT_FALSE(InputDigest::start(input.value(), {}));
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  Result<FileInput> pipe = FileInput::open(ends[0]);
  ASSERT_TRUE(pipe);
  EXPECT_EQ(InputDigest::start(pipe.value(), {false, false, true}).error().display(),
            "I/O error: Invalid argument");
  ::close(ends[0]);
  ::close(ends[1]);
}

struct Appended {
  Status status = Ok{};
  AppendCounts counts;
  std::optional<InputDigests> input;
  std::optional<OutputDigests> output;
  std::string written;  // the output file's bytes after those before the append
  // Deferred: the covered digest and counts told while it waited.
  std::optional<OutputDigests> while_waiting;
  AppendCounts counts_waiting;
};

const std::string kStore = "the new store \r\n\x00\xff";

Appended append(const TemporaryFile& disk, std::size_t start, std::size_t end,
                const std::string& before_output, const AppendOptions& options, bool deferred,
                std::size_t budget) {
  Appended out;
  Result<FileInput> input = FileInput::open(disk.fd(), start, end);
  EXPECT_TRUE(input);
  TemporaryFile output(before_output);
  OutputFile file(output.fd());
  FileAppend pass(input.value(), file, deferred ? std::nullopt : std::optional(kStore), "urn:x",
                  options);
  do {
    out.status = pass.run(budget);
  } while (out.status && !pass.done() && !pass.waiting());
  if (out.status && deferred) {
    EXPECT_TRUE(pass.waiting());
    out.while_waiting = pass.output_digests();
    out.counts_waiting = pass.counts();
    // What was kept is in the file already: the covered digest can be checked
    // against it before the record is made.
    std::string so_far(out.counts_waiting.written, '\0');
    EXPECT_EQ(
        pread(output.fd(), so_far.data(), so_far.size(), static_cast<off_t>(before_output.size())),
        static_cast<ssize_t>(so_far.size()));
    EXPECT_EQ(out.while_waiting->covered_size, so_far.size());
    EXPECT_EQ(out.while_waiting->covered_sha256, digest::sha256(so_far));
    EXPECT_FALSE(out.while_waiting->whole);
    out.status = pass.finish(kStore);
  }
  if (!out.status) return out;
  EXPECT_TRUE(pass.done());
  out.counts = pass.counts();
  out.input = pass.input_digests();
  out.output = pass.output_digests();
  std::string all(before_output.size() + out.counts.written, '\0');
  EXPECT_EQ(pread(output.fd(), all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
  out.written = all.substr(before_output.size());
  return out;
}

// What gzip members one after another inflate to.
std::string inflate_members(std::string_view data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
  std::string out;
  char buffer[1 << 16];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  while (stream.avail_in > 0) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_STREAM_END) {
      inflateReset(&stream);
    } else if (status != Z_OK) {
      ADD_FAILURE() << "not gzip members";
      break;
    }
  }
  inflateEnd(&stream);
  return out;
}

// The records of `archive` the whole-archive appender keeps, one after
// another, without the CR and LF bytes between them.
std::string kept_records(std::string_view archive) {
  std::string out;
  if (archive.empty()) return out;
  const Result<AppendPlan> plan = plan_append(archive);
  EXPECT_TRUE(plan);
  if (!plan) return out;
  for (const ByteRange& range : plan->kept) out += archive.substr(range.offset, range.length);
  return out;
}

// The new record as a reader sees it, its date masked.
std::string new_record(const Appended& appended, bool compressed) {
  const std::string_view tail =
      std::string_view(appended.written).substr(appended.output->covered_size);
  static const std::regex date("WARC-Date: [^\r]*\r\n");
  return std::regex_replace(compressed ? zlib_inflate(tail) : std::string(tail), date, "");
}

TEST(FileAppend, DigestsOfWhatItReadAndWroteAreThoseOfTheBytes) {
  for (unsigned seed = 0; seed < 40; ++seed) {
    DigestArchives archives(seed);
    const DigestArchive archive = archives.next();
    std::mt19937 random(seed);
    const std::string before(seed % 2 ? random() % 3000 : 0, 'b');
    TemporaryFile disk(before + archive.file + "after");
    const std::string before_output(random() % 2 ? random() % 5000 : 0, 'o');
    const Result<std::string_view> old_store = locate_manifest(archive.content);
    for (bool compress : {false, true}) {
      AppendOptions options;
      options.compress = compress;
      options.threads = 1 + random() % 2;
      options.part_size = 64 + random() % 2000;
      options.input_digests = {true, true, true};
      options.output_digests = true;
      options.keep_old_manifest = true;
      std::optional<std::string> reference;  // the new record, as the immediate append wrote it
      for (bool deferred : {false, true}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + archive.what + ", compress " +
                     std::to_string(compress) + ", deferred " + std::to_string(deferred));
        const Appended got = append(disk, before.size(), before.size() + archive.file.size(),
                                    before_output, options, deferred, random() % 3 * 1000);
        ASSERT_TRUE(got.status) << got.status.error().display();
        expect_digests(Digested{Ok{}, got.input, std::nullopt}, archive, options.input_digests);
        EXPECT_EQ(got.counts.old_manifest,
                  old_store ? std::optional<std::string>(old_store.value()) : std::nullopt);
        const OutputDigests& output = *got.output;
        ASSERT_TRUE(output.whole);
        EXPECT_EQ(output.whole->size, got.written.size());
        EXPECT_EQ(output.whole->crc32, gzip::crc32(0, got.written));
        EXPECT_EQ(output.whole->sha256, digest::sha256(got.written));
        EXPECT_EQ(output.covered_size,
                  compress ? *got.counts.member_offset : got.counts.manifest_offset);
        EXPECT_EQ(output.covered_sha256,
                  digest::sha256(std::string_view(got.written).substr(0, output.covered_size)));
        // What was kept is what the whole-archive appender keeps (members
        // copied whole keep the CR/LF between their records too).
        const std::string_view kept = std::string_view(got.written).substr(0, output.covered_size);
        EXPECT_EQ(kept_records(compress ? inflate_members(kept) : std::string(kept)),
                  kept_records(archive.content));
        if (!deferred) {
          reference = new_record(got, compress);
          continue;
        }
        // The same bytes before the record, and the same record.
        EXPECT_EQ(output.covered_size, got.while_waiting->covered_size);
        EXPECT_EQ(output.covered_sha256, got.while_waiting->covered_sha256);
        EXPECT_EQ(new_record(got, compress), reference);
        EXPECT_EQ(got.counts_waiting.records_kept, got.counts.records_kept);
        EXPECT_EQ(got.counts_waiting.manifest_offset, got.counts.manifest_offset);
      }
    }
  }
}

TEST(FileAppend, AnOutputItCannotReadBackIsRefusedBeforeAnythingIsWritten) {
  DigestArchives archives(3);
  const DigestArchive archive = archives.next();
  TemporaryFile disk(archive.file);
  Result<FileInput> input = FileInput::open(disk.fd());
  ASSERT_TRUE(input);
  const int out_fd = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(out_fd, 0);
  OutputFile file(out_fd);
  AppendOptions options;
  options.output_digests = true;
  FileAppend pass(input.value(), file, kStore, "urn:x", options);
  const Status status = pass.run();
  ASSERT_FALSE(status);
  EXPECT_TRUE(pass.output_failed());
  EXPECT_EQ(status.error().display(),
            "I/O error: the output is read back for its digests: it must be a regular file "
            "open for reading");
  EXPECT_EQ(file.position(), 0u);
  ::close(out_fd);
  // A finish that nothing waits for is refused.
  EXPECT_FALSE(pass.finish("x"));
}

}  // namespace
}  // namespace quillmark::testing
