// Byte-level text rules of the reader: strict UTF-8, Unicode White_Space
// trimming, ASCII-only case folding and the Content-Length number rule.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF and no
// truncated sequence. Runs of ASCII are checked eight bytes at a time.
bool is_valid_utf8(std::string_view text) noexcept;

namespace text_detail {
// Any white space at either end, the characters outside ASCII included.
std::string_view trim_any_white_space(std::string_view text) noexcept;

constexpr bool is_ascii_white_space(unsigned char c) noexcept {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}
}  // namespace text_detail

// Removes every character with the Unicode White_Space property from both
// ends. `text` must be valid UTF-8. Header texts are nearly always ASCII at
// their ends, so those ends are trimmed here, inline; an end byte outside
// ASCII hands the rest to the full rule.
inline std::string_view trim_white_space(std::string_view text) noexcept {
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text.front());
    if (c >= 0x80) return text_detail::trim_any_white_space(text);
    if (!text_detail::is_ascii_white_space(c)) break;
    text.remove_prefix(1);
  }
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text.back());
    if (c >= 0x80) return text_detail::trim_any_white_space(text);
    if (!text_detail::is_ascii_white_space(c)) break;
    text.remove_suffix(1);
  }
  return text;
}

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when `name`, lower-cased in ASCII, equals `lower` (already lower case).
bool equals_ascii_lower(std::string_view name, std::string_view lower) noexcept;

// `text` with "A" to "Z" lower-cased and every other byte unchanged.
std::string to_ascii_lower(std::string_view text);
void to_ascii_lower(std::string_view text, char* out) noexcept;

// An optional "+" then one or more ASCII digits, read in base 10; nullopt for
// anything else or for a value above SIZE_MAX.
std::optional<std::size_t> parse_content_length(std::string_view text) noexcept;

}  // namespace quillmark
