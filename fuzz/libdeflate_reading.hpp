// The one known way the pass with libdeflate reads gzip data that zlib
// refuses, as a second reading for the file_scan oracle (zlib_members.hpp).
//
// libdeflate decodes the literal/length symbols 286 and 287, which the deflate
// format reserves, as a match of length 258 (the length of symbol 285), and
// takes dynamic blocks with up to 288 literal/length codes and 32 distance
// codes. zlib refuses such a member ("invalid literal/length code", "too many
// length or distance symbols"), and so does ISA-L. No writer makes them, but
// a bit flipped in the last bits of a fixed code of 285 makes one, and its
// CRC-32 still holds. Whether the pass must refuse these members as zlib does
// is open; until that is settled the pass may either refuse such a member as
// zlib does or read it as libdeflate does, provided that reading is what the
// member's own CRC-32 and length say was written, and zlib's output before it
// refused is its start. QM_FUZZ_STRICT=1 holds the pass to zlib alone.
#pragma once

#include "zlib_members.hpp"

namespace quillmark::fuzz {

// Whether the second reading is allowed: a pass with libdeflate, and no
// QM_FUZZ_STRICT=1 in the environment.
bool libdeflate_reading_allowed(bool libdeflate);

// libdeflate's reading of a member zlib refused for one of the two reasons,
// when the member's trailer confirms it; nothing otherwise.
std::optional<SecondReading> libdeflate_reading(std::string_view rest, const std::string& detail,
                                                const std::string& partial);

}  // namespace quillmark::fuzz
