// The output of a file append: every way of copying a byte range (the two
// kernel copies and read-and-write) must give the same bytes, however the
// kernel answers: when it refuses a way (a pipe as output refuses
// copy_file_range, an output opened for appending refuses both), copies
// part of a range, copies nothing, or is interrupted; and a range past the
// input's end must fail with EIO under each way, not pass as copied. A range
// digest that follows the output must see exactly the bytes written, whatever
// was gathered or written at the descriptor before it began to follow.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "gzip_testing.hpp"
#include "writer/file/output_file.hpp"

namespace quillmark::testing {
namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

std::string read_all(int fd) {
  std::string out;
  char buffer[1 << 16];
  for (ssize_t got; (got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

// The kernel as a test scripts it: each call may refuse (for good), copy
// nothing, copy part of what is asked, be interrupted, or fail outright;
// without a script it answers as it does, and the calls are counted.
struct Script {
  std::mt19937 random{0};
  bool scripted = true;
  bool fail_now = false;
  bool refused[2] = {false, false};
  int calls[2] = {0, 0};

  // What the call returns instead of copying, if anything.
  std::optional<ssize_t> answer(int way, std::size_t& size) {
    ++calls[way];
    EXPECT_FALSE(refused[way]) << "a refused way was asked again";
    if (fail_now) {
      errno = ENOSPC;
      return -1;
    }
    switch (scripted ? random() % 8 : 8) {
      case 0:
        refused[way] = true;
        errno = std::initializer_list<int>{EXDEV, ENOSYS, EINVAL, EOPNOTSUPP, EBADF}
                    .begin()[random() % 5];
        return -1;
      case 1:
        return 0;
      case 2:
        errno = EINTR;
        return -1;
      case 3:
        size = 1 + random() % size;
        break;
    }
    return std::nullopt;
  }
  ssize_t seen(int way, ssize_t result) {
    if (result < 0 && errno != EINTR) refused[way] = true;
    return result;
  }
};
Script* g_script = nullptr;

ssize_t scripted_copy_file_range(int in, loff_t* in_at, int out, loff_t* out_at, std::size_t size,
                                 unsigned flags) {
  if (const std::optional<ssize_t> answer = g_script->answer(0, size)) return *answer;
  return g_script->seen(0, ::copy_file_range(in, in_at, out, out_at, size, flags));
}

ssize_t scripted_sendfile(int out, int in, off_t* at, std::size_t size) {
  if (const std::optional<ssize_t> answer = g_script->answer(1, size)) return *answer;
  return g_script->seen(1, ::sendfile(out, in, at, size));
}

TEST(OutputFile, EveryAnswerOfTheKernelGivesTheSameBytes) {
  const std::string input = random_bytes(1 << 20, 1);
  TemporaryFile in(input);
  for (unsigned seed = 0; seed < 60; ++seed) {
    Script script;
    script.random.seed(seed);
    g_script = &script;
    TemporaryFile out("");
    std::mt19937 random(seed);
    // Bytes before the output's own, then some it gathers before a digest
    // follows it (every other seed).
    const std::string before = random_bytes(random() % 5000, seed);
    ASSERT_EQ(::write(out.fd(), before.data(), before.size()), static_cast<ssize_t>(before.size()));
    OutputFile file(out.fd(), {scripted_copy_file_range, scripted_sendfile});
    const std::string gathered = random_bytes(random() % 3000, seed + 1);
    ASSERT_TRUE(file.write(gathered));
    std::optional<digest::RangeDigest> digest;
    if (seed % 2 == 0) {
      Result<std::uint64_t> offset = file.file_offset();
      ASSERT_TRUE(offset);
      EXPECT_EQ(offset.value(), before.size() + gathered.size());
      Result<digest::RangeDigest> started =
          digest::RangeDigest::start(out.fd(), offset.value(), digest::Digests::Both);
      ASSERT_TRUE(started);
      digest.emplace(std::move(started.value()));
      ASSERT_TRUE(file.follow(*digest));
    }
    std::string expected;
    for (int step = 0; step < 12; ++step) {
      if (random() % 3 == 0) {
        const std::string data = input.substr(random() % input.size(), random() % (1 << 18));
        ASSERT_TRUE(file.write(data));
        expected += data;
      } else {
        const std::size_t offset = random() % input.size();
        const std::size_t size = random() % (input.size() - offset + 1);
        ASSERT_TRUE(file.copy(in.fd(), offset, size));
        expected += input.substr(offset, size);
      }
      EXPECT_LE(file.landed(), file.position());
    }
    ASSERT_TRUE(file.flush());
    EXPECT_EQ(file.position(), gathered.size() + expected.size());
    EXPECT_EQ(file.landed(), file.position());
    ASSERT_EQ(read_all(out.fd()), before + gathered + expected) << "seed " << seed;
    if (digest) {
      Result<digest::RangeDigests> digests =
          digest->finish(before.size() + gathered.size() + expected.size());
      ASSERT_TRUE(digests) << digests.error().display();
      EXPECT_EQ(digests->sha256, digest::sha256(expected)) << "seed " << seed;
    }
  }
  g_script = nullptr;
}

TEST(OutputFile, AFailureThatIsNotARefusalIsReported) {
  const std::string input = random_bytes(1 << 16, 2);
  TemporaryFile in(input), out("");
  Script script;
  script.fail_now = true;
  g_script = &script;
  OutputFile file(out.fd(), {scripted_copy_file_range, scripted_sendfile});
  const Status status = file.copy(in.fd(), 0, input.size());
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().io_error(), std::errc::no_space_on_device);
  EXPECT_EQ(script.calls[1], 0);  // no other way was tried
  g_script = nullptr;
}

// An output that continues bytes already in the file counts positions from
// where it starts; the bytes land at the descriptor's offset all the same.
TEST(OutputFile, PositionsCountFromWhereTheOutputStarts) {
  const std::string input = random_bytes(1 << 17, 4);
  TemporaryFile in(input), out("head");
  ASSERT_EQ(lseek(out.fd(), 4, SEEK_SET), 4);
  OutputFile file(out.fd(), 4);
  ASSERT_TRUE(file.write("abc"));
  ASSERT_TRUE(file.copy(in.fd(), 5, input.size() - 5));
  EXPECT_EQ(file.position(), 4 + 3 + input.size() - 5);
  Result<std::uint64_t> offset = file.file_offset();
  ASSERT_TRUE(offset);
  EXPECT_EQ(offset.value(), file.position());
  ASSERT_TRUE(file.flush());
  EXPECT_EQ(read_all(out.fd()),
            "head"
            "abc" +
                input.substr(5));
}

// Real refusals: the way each output leaves, with a range that ends inside
// the input and one that goes past its end (the input shrank meanwhile).
TEST(OutputFile, EachWayCopiesAndTellsAnInputThatEndedEarly) {
  const std::string input = random_bytes(300000, 3);
  TemporaryFile in(input);
  for (const char* output : {"file", "pipe", "appending file"}) {
    SCOPED_TRACE(output);
    for (const bool past_end : {false, true}) {
      TemporaryFile disk("");
      int fds[2] = {-1, -1};
      std::string piped;
      std::thread reader;
      int fd = disk.fd();
      if (std::string_view(output) == "pipe") {
        ASSERT_EQ(pipe(fds), 0);
        fd = fds[1];
        reader = std::thread([&] {
          char buffer[1 << 16];
          for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
            piped.append(buffer, got);
        });
      } else if (std::string_view(output) == "appending file") {
        ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND), 0);
      }
      Script counted;
      counted.scripted = false;
      g_script = &counted;
      Status status = Ok{};
      {
        OutputFile file(fd, {scripted_copy_file_range, scripted_sendfile});
        EXPECT_TRUE(file.write("head"));
        status = file.copy(in.fd(), 1000, past_end ? input.size() : 250000);
        if (status) status = file.flush();
      }
      if (reader.joinable()) {
        close(fds[1]);
        reader.join();
        close(fds[0]);
      }
      g_script = nullptr;
      const std::string written = std::string_view(output) == "pipe" ? piped : read_all(disk.fd());
      // The way the output leaves: refused by the kernel, never by the test.
      const int ways_refused = std::string_view(output) == "file" ? 0 : output[0] == 'p' ? 1 : 2;
      EXPECT_EQ(counted.refused[0], ways_refused >= 1);
      EXPECT_EQ(counted.refused[1], ways_refused == 2);
      EXPECT_EQ(counted.calls[1] > 0, ways_refused >= 1 || past_end);
      if (past_end) {
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().io_error(), std::errc::io_error);
        EXPECT_EQ(written, "head" + input.substr(1000));  // all there was, and nothing else
      } else {
        ASSERT_TRUE(status) << status.error().display();
        EXPECT_EQ(written, "head" + input.substr(1000, 250000));
      }
    }
  }
}

}  // namespace
}  // namespace quillmark::testing
