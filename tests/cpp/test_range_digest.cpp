// The digest of a file range on its own thread: following a writer that
// appends to the file, stopping at an end learnt late, the digests of a prefix
// taken on the way, a file cut short, a read that fails, cancellation, and the
// caller's mistakes. The results are
// compared with zlib's CRC-32 and the portable SHA-256 kernel, one-shot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "digest/range_digest.hpp"

namespace quillmark::digest {
namespace {

// An empty temporary file, removed with the object.
class ScratchFile {
 public:
  ScratchFile() : file_(std::tmpfile()) {}
  ~ScratchFile() { std::fclose(file_); }
  int fd() const { return fileno(file_); }
  void append(const std::string& data) const {
    ASSERT_EQ(::write(fd(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

 private:
  std::FILE* file_;
};

std::string random_bytes(std::mt19937_64& random, std::size_t size) {
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

std::uint32_t zlib_crc(const std::string& data) {
  return static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string portable_sha(const std::string& data) {
  Sha256 state(Sha256Kernel::Portable);
  state.update(data);
  return to_hex(state.finish());
}

void expect_digests(const Result<RangeDigests>& result, const std::string& data, Digests asked) {
  ASSERT_TRUE(result.ok()) << result.error().display();
  EXPECT_EQ(result->size, data.size());
  EXPECT_EQ(result->crc32, asked == Digests::Sha256 ? 0 : zlib_crc(data));
  EXPECT_EQ(to_hex(result->sha256),
            asked == Digests::Crc32 ? std::string(64, '0') : portable_sha(data));
}

TEST(RangeDigest, FollowsAWriterAppendingToTheFile) {
  std::mt19937_64 random(7);
  for (Digests asked : {Digests::Both, Digests::Crc32, Digests::Sha256}) {
    ScratchFile file;
    const std::string before = random_bytes(random, 1000);  // not part of the range
    file.append(before);
    Result<RangeDigest> digest = RangeDigest::start(file.fd(), before.size(), asked);
    ASSERT_TRUE(digest.ok());
    std::string written;
    std::thread writer([&] {
      while (written.size() < 5 * RangeDigest::kPiece) {
        const std::string chunk = random_bytes(random, random() % 300000);
        file.append(chunk);
        written += chunk;
        digest->advance(before.size() + written.size());
      }
    });
    writer.join();
    expect_digests(digest->finish(before.size() + written.size()), written, asked);
  }
}

TEST(RangeDigest, StopsAtAnEndLearntLate) {
  std::mt19937_64 random(8);
  ScratchFile file;
  const std::string data = random_bytes(random, 3 * RangeDigest::kPiece + 12345);
  file.append(data);
  for (std::size_t end : {std::size_t{0}, std::size_t{1}, RangeDigest::kPiece - 1,
                          RangeDigest::kPiece, 2 * RangeDigest::kPiece + 7, data.size() - 1}) {
    for (int advances : {0, 1, 5}) {
      Result<RangeDigest> digest = RangeDigest::start(file.fd(), 10, Digests::Both);
      ASSERT_TRUE(digest.ok());
      const std::size_t start = std::min<std::size_t>(10, end);
      for (int i = 1; i <= advances; ++i) digest->advance(start + (end - start) * i / advances);
      if (end < 10) {
        EXPECT_EQ(digest->finish(end).error().display(), "I/O error: Invalid argument");
        continue;
      }
      expect_digests(digest->finish(end), data.substr(10, end - 10), Digests::Both);
    }
  }
}

TEST(RangeDigest, AFileCutShortIsAnIoErrorSayingWhere) {
  ScratchFile file;
  file.append(std::string(100, 'x'));
  for (bool advance_first : {false, true}) {
    Result<RangeDigest> digest = RangeDigest::start(file.fd(), 40, Digests::Both);
    ASSERT_TRUE(digest.ok());
    if (advance_first) digest->advance(5 * RangeDigest::kPiece);
    const Result<RangeDigests> result = digest->finish(5 * RangeDigest::kPiece);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::Io);
    EXPECT_EQ(result.error().display(),
              "I/O error: the file ends at byte 100, before byte 5242880");
  }
}

TEST(RangeDigest, AFailedReadGivesTheSystemsReason) {
  const int fd = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  Result<RangeDigest> digest = RangeDigest::start(fd, 0, Digests::Both);
  ASSERT_TRUE(digest.ok());
  EXPECT_EQ(digest->finish(10).error().display(), "I/O error: Bad file descriptor");
  ::close(fd);
}

TEST(RangeDigest, CancelStopsSoonAndTheDestructorNeverLeavesAThread) {
  // 64 GiB of a sparse file: half a minute of digesting at best, so a
  // cancel that waited for the range to be done would show.
  ScratchFile file;
  const std::uint64_t size = std::uint64_t{1} << 36;
  ASSERT_EQ(::ftruncate(file.fd(), static_cast<off_t>(size)), 0);
  const auto began = std::chrono::steady_clock::now();
  {
    Result<RangeDigest> digest = RangeDigest::start(file.fd(), 0, Digests::Both);
    ASSERT_TRUE(digest.ok());
    digest->advance(size);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    digest->cancel();
    EXPECT_EQ(digest->finish(size).error().display(), "I/O error: Operation canceled");
    digest->cancel();  // again: nothing to do
  }
  {
    // Destroyed mid-way, and while waiting for bytes that never come.
    Result<RangeDigest> busy = RangeDigest::start(file.fd(), 0, Digests::Both);
    ASSERT_TRUE(busy.ok());
    busy->advance(size);
    Result<RangeDigest> waiting = RangeDigest::start(file.fd(), 0, Digests::Sha256);
    ASSERT_TRUE(waiting.ok());
    waiting->advance(10);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
}

TEST(RangeDigest, RefusesAnEndBeforeWhatWasPromisedAndASecondFinish) {
  ScratchFile file;
  file.append(std::string(5000, 'y'));
  Result<RangeDigest> digest = RangeDigest::start(file.fd(), 100, Digests::Both);
  ASSERT_TRUE(digest.ok());
  digest->advance(3000);
  digest->advance(2000);  // lower: ignored
  EXPECT_EQ(digest->finish(2999).error().display(), "I/O error: Invalid argument");

  Result<RangeDigest> moved_from = RangeDigest::start(file.fd(), 100, Digests::Both);
  ASSERT_TRUE(moved_from.ok());
  moved_from->advance(3000);
  RangeDigest moved = std::move(moved_from.value());
  expect_digests(moved.finish(3000), std::string(2900, 'y'), Digests::Both);
  EXPECT_EQ(moved.finish(3000).error().display(), "I/O error: Invalid argument");
  EXPECT_EQ(moved_from->finish(3000).error().display(), "I/O error: Invalid argument");
}

TEST(RangeDigest, AMarkGivesTheDigestsOfThePrefixOnTheWay) {
  std::mt19937_64 random(9);
  ScratchFile file;
  const std::string data = random_bytes(random, 3 * RangeDigest::kPiece + 777);
  file.append(data);
  const std::size_t start = 33;
  const std::size_t end = data.size() - 5;
  for (std::size_t at : {start, start + 1, RangeDigest::kPiece - 1, RangeDigest::kPiece,
                         RangeDigest::kPiece + 1, 2 * RangeDigest::kPiece + 5, end}) {
    for (bool wait_on_the_way : {false, true}) {
      SCOPED_TRACE("mark at " + std::to_string(at));
      Result<RangeDigest> digest = RangeDigest::start(file.fd(), start, Digests::Both);
      ASSERT_TRUE(digest.ok());
      // The bound creeps up to the mark in uneven steps, as a pass finds records.
      std::size_t bound = start;
      while (bound < at) {
        bound = std::min<std::size_t>(at, bound + random() % (RangeDigest::kPiece / 3));
        digest->advance(bound);
      }
      digest->mark(at);
      const std::string prefix = data.substr(start, at - start);
      if (wait_on_the_way) expect_digests(digest->marked(), prefix, Digests::Both);
      digest->advance(end - 1);
      expect_digests(digest->finish(end), data.substr(start, end - start), Digests::Both);
      expect_digests(digest->marked(), prefix, Digests::Both);
    }
  }
}

TEST(RangeDigest, ALaterMarkReplacesAnEarlierOneAndMarksItCannotKeepAreRefused) {
  ScratchFile file;
  const std::string data(4 * RangeDigest::kPiece, 'm');
  file.append(data);
  const auto started = [&](Digests digests) {
    Result<RangeDigest> digest = RangeDigest::start(file.fd(), 0, digests);
    EXPECT_TRUE(digest.ok());
    return std::move(digest.value());
  };
  {
    RangeDigest digest = started(Digests::Sha256);
    digest.mark(100);
    digest.advance(100);
    expect_digests(digest.marked(), data.substr(0, 100), Digests::Sha256);
    digest.advance(2 * RangeDigest::kPiece);
    digest.mark(3 * RangeDigest::kPiece);  // replaces the first, already taken
    digest.advance(3 * RangeDigest::kPiece);
    expect_digests(digest.marked(), data.substr(0, 3 * RangeDigest::kPiece), Digests::Sha256);
    expect_digests(digest.finish(data.size()), data, Digests::Sha256);
  }
  {
    RangeDigest digest = started(Digests::Crc32);
    EXPECT_EQ(digest.marked().error().display(), "I/O error: Invalid argument");  // no mark
    digest.advance(RangeDigest::kPiece);
    digest.mark(10);  // behind the bound: the thread may be past it
    EXPECT_EQ(digest.marked().error().display(), "I/O error: Invalid argument");
    digest.mark(2 * RangeDigest::kPiece);  // ahead of the bound: it would wait for ever
    EXPECT_EQ(digest.marked().error().display(), "I/O error: Invalid argument");
    expect_digests(digest.finish(RangeDigest::kPiece + 1), data.substr(0, RangeDigest::kPiece + 1),
                   Digests::Crc32);
    // The range ended before the mark.
    EXPECT_EQ(digest.marked().error().display(), "I/O error: Invalid argument");
  }
  {
    RangeDigest digest = started(Digests::Both);
    digest.mark(0);  // the empty prefix
    expect_digests(digest.marked(), "", Digests::Both);
    digest.cancel();
    EXPECT_EQ(digest.finish(5).error().display(), "I/O error: Operation canceled");
  }
}

TEST(RangeDigest, AMarkPastTheEndOfAFileCutShortGivesTheFilesError) {
  ScratchFile file;
  file.append(std::string(100, 'x'));
  Result<RangeDigest> digest = RangeDigest::start(file.fd(), 0, Digests::Both);
  ASSERT_TRUE(digest.ok());
  digest->advance(RangeDigest::kPiece);
  digest->mark(RangeDigest::kPiece);
  EXPECT_EQ(digest->marked().error().display(),
            "I/O error: the file ends at byte 100, before byte 1048576");
}

}  // namespace
}  // namespace quillmark::digest
