#include "digest/sha256.hpp"

#include <cstring>

#include "digest/sha256_blocks.hpp"

namespace quillmark::digest {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

Sha256::BlockFunction block_function(Sha256Kernel kernel) noexcept {
#if defined(__x86_64__)
  if (kernel == Sha256Kernel::ShaExtensions) return sha256_detail::sha_extension_blocks;
#else
  (void)kernel;
#endif
  return sha256_detail::portable_blocks;
}

}  // namespace

bool sha256_kernel_available(Sha256Kernel kernel) noexcept {
  switch (kernel) {
    case Sha256Kernel::Portable:
      return true;
    case Sha256Kernel::ShaExtensions:
#if defined(__x86_64__)
      return sha256_detail::sha_extensions_available();
#else
      return false;
#endif
  }
  return false;
}

Sha256Kernel sha256_best_kernel() noexcept {
  static const Sha256Kernel best = sha256_kernel_available(Sha256Kernel::ShaExtensions)
                                       ? Sha256Kernel::ShaExtensions
                                       : Sha256Kernel::Portable;
  return best;
}

Sha256::Sha256() noexcept : Sha256(sha256_best_kernel()) {}

Sha256::Sha256(Sha256Kernel kernel) noexcept : blocks_(block_function(kernel)) {
  std::memcpy(state_, kInitialState, sizeof state_);
}

void Sha256::update(std::string_view data) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  const std::size_t held = size_ % 64;
  size_ += n;
  if (held != 0) {
    const std::size_t take = n < 64 - held ? n : 64 - held;
    std::memcpy(pending_ + held, p, take);
    p += take;
    n -= take;
    if (held + take < 64) return;
    blocks_(state_, pending_, 1);
  }
  if (n >= 64) {
    blocks_(state_, p, n / 64);
    p += n / 64 * 64;
    n %= 64;
  }
  if (n != 0) std::memcpy(pending_, p, n);
}

Sha256Digest Sha256::finish() const noexcept {
  // The padding: 0x80, zeros, then the length in bits, big-endian, ending a
  // block; one block more where the length does not fit after the tail.
  std::uint32_t state[8];
  std::memcpy(state, state_, sizeof state);
  unsigned char last[128] = {};
  const std::size_t held = size_ % 64;
  std::memcpy(last, pending_, held);
  last[held] = 0x80;
  const std::size_t blocks = held < 56 ? 1 : 2;
  const std::uint64_t bits = size_ * 8;
  for (int i = 0; i < 8; ++i) {
    last[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  }
  blocks_(state, last, blocks);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

Sha256Digest sha256(std::string_view data) noexcept {
  Sha256 state;
  state.update(data);
  return state.finish();
}

std::string to_hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(64, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace quillmark::digest
