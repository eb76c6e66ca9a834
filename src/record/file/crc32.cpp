#include "record/file/crc32.hpp"

#include <zlib.h>

#include <algorithm>

#if QUILLMARK_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace quillmark::gzip {

std::uint32_t crc32(std::uint32_t crc, std::string_view data) noexcept {
#if QUILLMARK_WITH_LIBDEFLATE
  return libdeflate_crc32(crc, data.data(), data.size());
#else
  constexpr std::size_t kMaxPiece = std::size_t{1} << 30;  // zlib counts in uInt
  while (!data.empty()) {
    const std::size_t piece = std::min(data.size(), kMaxPiece);
    crc = static_cast<std::uint32_t>(
        ::crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(piece)));
    data.remove_prefix(piece);
  }
  return crc;
#endif
}

}  // namespace quillmark::gzip
