// The block functions behind Sha256, one per kernel (internal to src/digest).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmark::digest::sha256_detail {

// The round constants, K[0..63] of FIPS 180-4.
extern const std::uint32_t kRoundConstants[64];

void portable_blocks(std::uint32_t* state, const unsigned char* data, std::size_t blocks) noexcept;

#if defined(__x86_64__)
// Needs the SHA extensions, SSSE3 and SSE4.1 (see sha_extensions_available).
void sha_extension_blocks(std::uint32_t* state, const unsigned char* data,
                          std::size_t blocks) noexcept;
bool sha_extensions_available() noexcept;
#endif

}  // namespace quillmark::digest::sha256_detail
