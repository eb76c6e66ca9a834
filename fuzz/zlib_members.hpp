// zlib on both sides of the file_scan target: writing the gzip members of the
// files it makes, and walking a gzip file member by member as the format has
// it, which is the oracle the pass over files is held to. Plain zlib calls
// only, none of the pass's code.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::fuzz {

// How one member is written.
struct MemberStyle {
  int level = 6;     // 0 (stored blocks) to 9
  int strategy = 0;  // Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE or Z_FIXED
  int window_bits = 15;
  // Optional header fields: FNAME, FCOMMENT, FEXTRA, FHCRC.
  bool name = false;
  bool comment = false;
  bool extra = false;
  bool header_crc = false;
};

std::string gzip_member(std::string_view data, const MemberStyle& style);

// A member as zlib reads it: its bytes in the file, its output in the
// concatenated output of the members.
struct ZlibMember {
  std::size_t compressed_start = 0;
  std::size_t compressed_end = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

enum class WalkEnd {
  Clean,      // members to the end, or members then zero bytes (where allowed)
  Truncated,  // the member at failed_at needs more input than the file has
  Corrupt,    // zlib refuses the member at failed_at
  StrayData,  // what starts at failed_at is no member (and not zero padding)
};

struct ZlibWalk {
  std::vector<ZlibMember> members;  // the good members, in order
  std::string output;               // what they inflate to, one after the other
  WalkEnd end = WalkEnd::Clean;
  std::size_t failed_at = 0;
  std::string partial;  // what zlib made of the failing member before it stopped
  std::string detail;   // zlib's message for a corrupt member
};

// A member read otherwise than zlib reads it: its output and its size.
struct SecondReading {
  std::string output;
  std::size_t consumed = 0;
};
// Asked for each member zlib refuses, from the member's first byte to the end
// of the file, with zlib's message and what zlib made of it before refusing.
using SecondReader = std::function<std::optional<SecondReading>(
    std::string_view rest, const std::string& detail, const std::string& partial)>;

// From the file's first byte: a member wherever the gzip magic stands, each
// inflated by a fresh zlib stream that stops at its trailer, or read by
// `second` where zlib refuses it and `second` gives a reading.
ZlibWalk walk_members(std::string_view file, bool padding_allowed,
                      const SecondReader& second = nullptr);

}  // namespace quillmark::fuzz
