#include "record/text.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace quillmark {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline bool is_continuation(unsigned char c) noexcept {
  return (c & 0xC0) == 0x80;
}

// Length of the white-space character that `text` begins with, or 0.
std::size_t leading_white_space(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char c = p[0];
  if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
  if (c == 0xC2 && n >= 2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  if (c == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
  if (c != 0xE2) return 0;
  if (p[1] == 0x80) {
    const unsigned char d = p[2];
    return (d <= 0x8A || d == 0xA8 || d == 0xA9 || d == 0xAF) ? 3 : 0;  // d >= 0x80 in valid text
  }
  return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
}

// Length of the white-space character that `text` ends with, or 0. In valid
// UTF-8 a lead byte is never a continuation byte, so matching the whole
// encoding at the end cannot split a longer character.
std::size_t trailing_white_space(std::string_view text) noexcept {
  const std::size_t n = text.size();
  const auto last = static_cast<unsigned char>(text[n - 1]);
  if (last < 0x80) return (last == 0x20 || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
  if (n >= 2 && static_cast<unsigned char>(text[n - 2]) == 0xC2) {
    return leading_white_space(text.substr(n - 2));
  }
  if (n >= 3) return leading_white_space(text.substr(n - 3)) == 3 ? 3 : 0;
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    // ASCII runs, 32 then 8 bytes at a time.
    while (end - p >= 32 &&
           ((load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24)) & kHighBits) == 0) {
      p += 32;
    }
    while (end - p >= 8 && (load64(p) & kHighBits) == 0) p += 8;
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;  // continuation byte, overlong C0/C1, or F5..FF
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i <= need; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += need + 1;
  }
  return true;
}

std::string_view text_detail::trim_any_white_space(std::string_view text) noexcept {
  while (!text.empty()) {
    const std::size_t n = leading_white_space(text);
    if (n == 0) break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    const std::size_t n = trailing_white_space(text);
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

bool equals_ascii_lower(std::string_view name, std::string_view lower) noexcept {
  if (name.size() != lower.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (ascii_lower(name[i]) != lower[i]) return false;
  }
  return true;
}

void to_ascii_lower(std::string_view text, char* out) noexcept {
  for (const char c : text) *out++ = ascii_lower(c);
}

std::string to_ascii_lower(std::string_view text) {
  std::string out(text.size(), '\0');
  to_ascii_lower(text, out.data());
  return out;
}

std::optional<std::size_t> parse_content_length(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::size_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace quillmark
