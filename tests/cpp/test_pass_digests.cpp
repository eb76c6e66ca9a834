// The digests a pass computes of its input, against SHA-256 and CRC-32 of the
// same bytes read alone: the whole input, a byte range of a larger file, and
// the bytes before the last manifest record (or its gzip member) with what
// follows it, on one thread and on several, for every layout of
// digest_archives.hpp; every cut of a file fails cleanly or digests what is
// there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "digest/sha256.hpp"
#include "digest_archives.hpp"
#include "gzip_testing.hpp"
#include "record/file/crc32.hpp"
#include "record/file/input_digest.hpp"
#include "record/file/manifest_keeper.hpp"
#include "record/file/parallel_scan.hpp"
#include "record/file/sink_pair.hpp"

namespace quillmark::testing {
namespace {

struct Digested {
  Status status = Ok{};
  std::optional<InputDigests> digests;
  std::optional<std::string> manifest;
};

// A check of the file's bytes [start, end) with the digests asked for.
Digested check(int fd, std::size_t start, std::size_t end, const InputDigestOptions& options,
               unsigned threads = 1, std::size_t part_size = 0, std::size_t budget = 0) {
  Digested out;
  Result<FileInput> input = FileInput::open(fd, start, end);
  EXPECT_TRUE(input);
  Result<std::unique_ptr<InputDigest>> digest = InputDigest::start(input.value(), options);
  EXPECT_TRUE(digest);
  ManifestKeeper keeper;
  SinkPair sinks(keeper, *digest.value());
  std::unique_ptr<Pass> pass = make_pass(input.value(), sinks, ScanOptions{}, threads, part_size);
  do {
    out.status = pass->run(budget);
  } while (out.status && !pass->done());
  if (!out.status) return out;
  Result<InputDigests> digests = digest.value()->finish();
  if (!digests) {
    out.status = std::move(digests).error();
    return out;
  }
  out.digests = std::move(digests).value();
  out.manifest = keeper.manifest();
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
        const Digested got = check(disk.fd(), before.size(), before.size() + archive.file.size(),
                                   options, threads, part_size, budget);
        expect_digests(got, archive, options);
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

}  // namespace
}  // namespace quillmark::testing
