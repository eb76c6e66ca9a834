#include "libdeflate_reading.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#if QUILLMARK_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace quillmark::fuzz {
namespace {

std::uint32_t little_endian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace

bool libdeflate_reading_allowed(bool libdeflate) {
  static const bool strict = [] {
    const char* value = std::getenv("QM_FUZZ_STRICT");
    return value != nullptr && std::string(value) == "1";
  }();
  return libdeflate && !strict;
}

std::optional<SecondReading> libdeflate_reading(std::string_view rest, const std::string& detail,
                                                const std::string& partial) {
#if QUILLMARK_WITH_LIBDEFLATE
  if (detail != "invalid literal/length code" && detail != "too many length or distance symbols") {
    return std::nullopt;
  }
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) std::abort();
  SecondReading reading;
  libdeflate_result result = LIBDEFLATE_INSUFFICIENT_SPACE;
  // The inputs are small; members that inflate to more are not of this kind.
  for (std::size_t room = std::size_t{1} << 20;
       result == LIBDEFLATE_INSUFFICIENT_SPACE && room <= (std::size_t{64} << 20); room *= 4) {
    reading.output.resize(room);
    std::size_t produced = 0;
    result =
        libdeflate_gzip_decompress_ex(decompressor, rest.data(), rest.size(), reading.output.data(),
                                      room, &reading.consumed, &produced);
    reading.output.resize(produced);
  }
  libdeflate_free_decompressor(decompressor);
  if (result != LIBDEFLATE_SUCCESS || reading.consumed < 18) return std::nullopt;
  // The member's own trailer, checked with zlib's CRC-32, and zlib's start.
  const std::string_view trailer = rest.substr(reading.consumed - 8, 8);
  const std::string& output = reading.output;
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(output.data()), static_cast<uInt>(output.size()));
  if (little_endian(trailer) != crc ||
      little_endian(trailer.substr(4)) != static_cast<std::uint32_t>(output.size()) ||
      output.compare(0, partial.size(), partial) != 0) {
    return std::nullopt;
  }
  return reading;
#else
  (void)rest;
  (void)detail;
  (void)partial;
  return std::nullopt;
#endif
}

}  // namespace quillmark::fuzz
