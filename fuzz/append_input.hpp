// How the append target cuts one fuzz input into its three arguments:
//   byte 0        length of record_id (0 to 255)
//   bytes 1 and 2 length of the manifest, little-endian (0 to 65535)
//   then record_id, then the manifest, then the archive: all remaining bytes.
// Lengths longer than what is left are cut short, so every input is usable.
// The corpus script writes its seeds in this layout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmark::fuzz {

struct AppendInput {
  std::string_view record_id;
  std::string_view manifest;
  std::string_view warc;
};

inline AppendInput split_append_input(std::string_view data) {
  auto byte = [&](std::size_t i) -> std::size_t {
    return i < data.size() ? static_cast<unsigned char>(data[i]) : 0;
  };
  const std::size_t id_size = byte(0);
  const std::size_t manifest_size = byte(1) | (byte(2) << 8);
  std::string_view rest = data.substr(std::min<std::size_t>(3, data.size()));
  AppendInput input;
  input.record_id = rest.substr(0, std::min(id_size, rest.size()));
  rest.remove_prefix(input.record_id.size());
  input.manifest = rest.substr(0, std::min(manifest_size, rest.size()));
  rest.remove_prefix(input.manifest.size());
  input.warc = rest;
  return input;
}

}  // namespace quillmark::fuzz
