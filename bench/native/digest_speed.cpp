// Speeds of the digests, in MB/s (10^6 bytes a second), best of a few rounds:
//   digest_speed MEMORY_MIB FILE
// SHA-256 of MEMORY_MIB in memory on each kernel and the CRC-32 alone; then,
// on FILE (read once first, so that it stands in the page cache), both
// digests by pread with pieces of several sizes and by a mapping, and the
// whole RangeDigest (its thread, its pieces) from start to finish.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#if QUILLMARK_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

#include "digest/range_digest.hpp"
#include "digest/sha256.hpp"
#include "record/file/crc32.hpp"

using namespace quillmark;
using namespace quillmark::digest;

namespace {

// The best rate of `rounds` runs of `work` over `bytes` bytes.
double best_rate(std::uint64_t bytes, int rounds, const std::function<void()>& work) {
  double best = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto began = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    best = std::max(best, static_cast<double>(bytes) / took.count() / 1e6);
  }
  return best;
}

volatile std::uint32_t sink;  // keeps results alive

void both_digests(std::string_view piece, std::uint32_t& crc, Sha256& sha) {
  crc = gzip::crc32(crc, piece);
  sha.update(piece);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MEMORY_MIB FILE\n", argv[0]);
    return 2;
  }
  const std::size_t memory = std::strtoull(argv[1], nullptr, 10) << 20;
  std::unique_ptr<char[]> data(new char[memory]);
  std::mt19937_64 random(1);
  for (std::size_t i = 0; i < memory; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(data.get() + i, &word, std::min<std::size_t>(8, memory - i));
  }
  const std::string_view bytes(data.get(), memory);
  // Each kernel and OpenSSL in turns, best of five, so that other work on the
  // machine weighs on all alike.
  double portable = 0, extensions = 0, openssl = 0;
  for (int round = 0; round < 5; ++round) {
    for (Sha256Kernel kernel : {Sha256Kernel::Portable, Sha256Kernel::ShaExtensions}) {
      if (!sha256_kernel_available(kernel) || (kernel == Sha256Kernel::Portable && round > 0)) {
        continue;
      }
      double& best = kernel == Sha256Kernel::Portable ? portable : extensions;
      best = std::max(best, best_rate(memory, 1, [&] {
                        Sha256 sha(kernel);
                        sha.update(bytes);
                        sink = sha.finish()[0];
                      }));
    }
#if QUILLMARK_BENCH_OPENSSL
    openssl = std::max(openssl, best_rate(memory, 1, [&] {
                         unsigned char out[32];
                         unsigned size = 0;
                         EVP_Digest(bytes.data(), bytes.size(), out, &size, EVP_sha256(), nullptr);
                         sink = out[0];
                       }));
#endif
  }
  std::printf("sha256 portable        %8.0f MB/s\n", portable);
  if (extensions > 0) std::printf("sha256 sha-extensions  %8.0f MB/s\n", extensions);
  if (openssl > 0) std::printf("sha256 openssl (EVP)   %8.0f MB/s\n", openssl);
  std::printf("crc32 %-15s %8.0f MB/s\n", "",
              best_rate(memory, 3, [&] { sink = gzip::crc32(0, bytes); }));
  data.reset();

  const int fd = ::open(argv[2], O_RDONLY);
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  // The ways to read the file, in turns, best of five, as above.
  struct Way {
    std::string name;
    std::function<void()> work;
    double best = 0;
  };
  std::vector<Way> ways;
  std::vector<std::unique_ptr<char[]>> buffers;
  for (std::size_t piece : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20,
                            std::size_t{4} << 20, std::size_t{16} << 20}) {
    char* buffer = buffers.emplace_back(new char[piece]).get();
    char name[64];
    std::snprintf(name, sizeof name, "file, pread %5zu KiB", piece >> 10);
    ways.push_back({name, [=] {
                      std::uint32_t crc = 0;
                      Sha256 sha;
                      for (std::uint64_t at = 0; at < size;) {
                        const ssize_t got = ::pread(fd, buffer, piece, static_cast<off_t>(at));
                        if (got <= 0) std::abort();
                        both_digests(std::string_view(buffer, static_cast<std::size_t>(got)), crc,
                                     sha);
                        at += static_cast<std::uint64_t>(got);
                      }
                      sink = crc ^ sha.finish()[0];
                    }});
  }
  ways.push_back({"file, mapping", [=] {
                    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
                    if (map == MAP_FAILED) std::abort();
                    ::madvise(map, size, MADV_SEQUENTIAL);
                    std::uint32_t crc = 0;
                    Sha256 sha;
                    const std::size_t piece = std::size_t{1} << 20;
                    for (std::uint64_t at = 0; at < size; at += piece) {
                      both_digests(std::string_view(static_cast<const char*>(map) + at,
                                                    static_cast<std::size_t>(
                                                        std::min<std::uint64_t>(piece, size - at))),
                                   crc, sha);
                    }
                    ::munmap(map, size);
                    sink = crc ^ sha.finish()[0];
                  }});
  ways.push_back({"file, RangeDigest", [=] {
                    Result<RangeDigest> digest = RangeDigest::start(fd, 0, Digests::Both);
                    if (!digest) std::abort();
                    Result<RangeDigests> done = digest->finish(size);
                    if (!done) std::abort();
                    sink = done->crc32;
                  }});
  for (int round = 0; round < 5; ++round) {
    for (Way& way : ways) way.best = std::max(way.best, best_rate(size, 1, way.work));
  }
  for (const Way& way : ways) std::printf("%-22s %8.0f MB/s\n", way.name.c_str(), way.best);
  ::close(fd);
  return 0;
}
