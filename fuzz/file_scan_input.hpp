// How the file_scan target turns one fuzz input into a file and a way to
// scan it. Missing bytes read as zero, so every input is usable.
//
//   byte 0  bits 0-1  the inflater: index into gzip::built_inflaters(), modulo
//                     (QM_FUZZ_INFLATER=name in the environment fixes it)
//           bit 2     the file: 0 the rest of the input as it is; 1 the rest
//                     written as gzip members (below)
//           bits 3-5  the most one read hands out: 1, 2, 3, 7, 61, 4093,
//                     65536 bytes, or everything
//           bits 6-7  the budget of each run(): none, 1, 512 or 65536 bytes
//   byte 1  bits 0-1  a listing batch holds 1, 2, 7 or 1000 records
//           bits 2-3  ... or 1, 64, 4096 or 1 MiB bytes of texts
//           bit 4     bodies are wanted
//           bit 5     zero bytes after the last member are refused
//           bit 6     the file is taken as gzip whatever its first bytes
//           bit 7     the input can pass over bytes unread (seekable)
//
// Written as gzip members:
//   byte 2  bits 0-2  members - 1
//           bits 3-5  what follows the last member: 0-3 nothing, 4 zero
//                     bytes, 5 zero bytes and a stray byte, 6 the file is cut
//                     short, 7 one byte of the file is flipped
//           bits 6-7  3: the first member's data is repeated to some 300 KB,
//                     more than the pass inflates at a time (reads are then
//                     4093 bytes at least)
//   byte 3  bits 0-6  how many zero bytes, bytes cut, or which byte flipped
//   then 4 bytes per member: where it ends in the data (2 bytes,
//   little-endian, modulo the data's size + 1; the last member ends at the
//   end), its level and strategy, its header fields, an empty member after it
//   and its window size (see member_style in file_scan_input.cpp); then the
//   uncompressed data, to the end of the input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "record/file/gzip_inflater.hpp"

namespace quillmark::fuzz {

struct FileScanInput {
  std::string file;
  gzip::Inflater inflater = gzip::Inflater::Zlib;
  std::size_t read_size = 0;
  std::size_t budget = 0;
  std::size_t batch_records = 1;
  std::size_t batch_bytes = 1;
  bool bodies = false;
  bool padding_allowed = true;
  bool force_gzip = false;
  bool seekable = false;
};

FileScanInput read_file_scan_input(std::string_view data);

}  // namespace quillmark::fuzz
