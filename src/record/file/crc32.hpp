// CRC-32 as gzip and ZIP use it, by the fastest library of the build
// (libdeflate's folds with carry-less multiplication, many times zlib's speed).
#pragma once

#include <cstdint>
#include <string_view>

namespace quillmark::gzip {

// The CRC-32 of `data` following on from `crc` (0 for the first piece).
std::uint32_t crc32(std::uint32_t crc, std::string_view data) noexcept;

}  // namespace quillmark::gzip
