// The first bytes of a gzip member, as the pass over files tests them: the
// magic number that tells a gzip file and each member's start, the method,
// and the flags that not every inflater treats alike.
#pragma once

#include <string_view>

namespace quillmark::gzip {

inline constexpr std::string_view kMagic = "\x1f\x8b";
inline constexpr char kDeflate = 8;                    // the only method gzip defines
inline constexpr unsigned char kHeaderCrcFlag = 0x02;  // FHCRC: not every library checks it
inline constexpr unsigned char kReservedFlags = 0xe0;  // not every library refuses them

inline bool starts_with_magic(std::string_view data) noexcept {
  return data.substr(0, kMagic.size()) == kMagic;
}

// Whether the member `header` begins has flags that only zlib, the checked
// inflater, is trusted with (members that have them are nearly unheard of).
inline bool needs_checked_inflater(std::string_view header) noexcept {
  return header.size() > 3 &&
         (static_cast<unsigned char>(header[3]) & (kHeaderCrcFlag | kReservedFlags));
}

// Whether `header` can begin a member: the magic number, deflate, and no
// reserved flag (what a search for a member start looks for).
inline bool can_begin_member(std::string_view header) noexcept {
  return header.size() > 3 && starts_with_magic(header) && header[2] == kDeflate &&
         !(static_cast<unsigned char>(header[3]) & kReservedFlags);
}

}  // namespace quillmark::gzip
