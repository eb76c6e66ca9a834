// SHA-256 (FIPS 180-4), streaming.
//
// Sha256 takes the bytes in pieces of any size (update) and gives the digest
// of everything so far (finish). finish() leaves the state as it was, and the
// state is a plain value: a copy taken at any point is the digest of that
// prefix, and both copies can go on independently.
//
// The block function is chosen when the state is made: the x86 SHA
// extensions where the processor has them (OpenSSL's speed: some 1.4 GB/s
// on a 2-core EPYC), a portable one otherwise (a sixth of that). Both give
// the same digests; the tests compare them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark::digest {

using Sha256Digest = std::array<std::uint8_t, 32>;

enum class Sha256Kernel { Portable, ShaExtensions };

// Whether this processor (and this build) can run `kernel`.
bool sha256_kernel_available(Sha256Kernel kernel) noexcept;

// The kernel a default-constructed Sha256 uses: the fastest available.
Sha256Kernel sha256_best_kernel() noexcept;

class Sha256 {
 public:
  Sha256() noexcept;
  // `kernel` must be available (sha256_kernel_available); the portable one
  // always is.
  explicit Sha256(Sha256Kernel kernel) noexcept;

  void update(std::string_view data) noexcept;
  // The digest of every byte given so far; the state is left unchanged.
  Sha256Digest finish() const noexcept;
  // How many bytes were given.
  std::uint64_t size() const noexcept { return size_; }

  // Transforms `blocks` 64-byte blocks into `state`.
  using BlockFunction = void (*)(std::uint32_t* state, const unsigned char* data,
                                 std::size_t blocks) noexcept;

 private:
  BlockFunction blocks_;
  std::uint32_t state_[8];
  std::uint64_t size_ = 0;
  unsigned char pending_[64] = {};  // the first size_ % 64 bytes hold an unfinished block
};

// The digest of `data` in one call.
Sha256Digest sha256(std::string_view data) noexcept;

// 64 lower-case hex digits.
std::string to_hex(const Sha256Digest& digest);

}  // namespace quillmark::digest
