#include "package/json_string.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmark::package {
namespace json_string_detail {

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

unsigned code_unit(const char* p) noexcept {
  unsigned unit = 0;
  for (int i = 0; i < 4; ++i) unit = unit * 16 + static_cast<unsigned>(hex_digit(p[i]));
  return unit;
}

std::size_t encode_utf8(unsigned code_point, char* out) noexcept {
  const auto byte = [](unsigned value) { return static_cast<char>(value); };
  if (code_point < 0x80) {
    out[0] = byte(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    out[0] = byte(0xC0 | (code_point >> 6));
    out[1] = byte(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    out[0] = byte(0xE0 | (code_point >> 12));
    out[1] = byte(0x80 | ((code_point >> 6) & 0x3F));
    out[2] = byte(0x80 | (code_point & 0x3F));
    return 3;
  }
  out[0] = byte(0xF0 | (code_point >> 18));
  out[1] = byte(0x80 | ((code_point >> 12) & 0x3F));
  out[2] = byte(0x80 | ((code_point >> 6) & 0x3F));
  out[3] = byte(0x80 | (code_point & 0x3F));
  return 4;
}

char simple_escape(char letter) noexcept {
  switch (letter) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return letter;  // '"', '\\' and '/' stand for themselves
  }
}

}  // namespace json_string_detail

namespace {

using namespace json_string_detail;

Error error_at(std::string what, std::size_t at) {
  return Error::package_text(std::move(what) + " at byte " + std::to_string(at), at);
}

// The first position at or after `pos` whose byte needs a look: a quote, a
// backslash, a control character or a byte outside ASCII.
std::size_t next_special(std::string_view text, std::size_t pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x20);
  for (; size - pos >= 16; pos += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
    // Signed compare: bytes 0x80-0xFF are negative, so below 0x20 too.
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                     _mm_cmplt_epi8(chunk, below_space));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return pos + static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; pos < size; ++pos) {
    const unsigned char c = p[pos];
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return pos;
  }
  return pos;
}

// How the text at `at` reads as a \uXXXX escape: whole, cut off by the end
// of the text while fine so far, or not one.
enum class Escape { Whole, Cut, Not };

Escape u_escape_at(std::string_view text, std::size_t at) noexcept {
  for (std::size_t i = 0; i < 6; ++i) {
    if (at + i == text.size()) return Escape::Cut;
    const char c = text[at + i];
    const bool fits = i == 0 ? c == '\\' : i == 1 ? c == 'u' : hex_digit(c) >= 0;
    if (!fits) return Escape::Not;
  }
  return Escape::Whole;
}

// The length of the UTF-8 sequence at text[at] (a byte 0x80 or above) when
// it is valid; 0 when it is not; npos when the text ends inside a sequence
// that is valid so far.
std::size_t utf8_sequence(std::string_view text, std::size_t at) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
  const std::size_t available = text.size() - at;
  const unsigned char c = p[0];
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // a continuation byte, C0, C1 or F5-FF
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i == available) return std::string_view::npos;
    const bool fits = i == 1 ? (p[1] >= low && p[1] <= high) : (p[i] & 0xC0) == 0x80;
    if (!fits) return 0;
  }
  return length;
}

}  // namespace

Result<std::size_t> scan_json_string(std::string_view text, std::size_t at) {
  const auto unterminated = [&] {
    return Error::package_text("unterminated string from byte " + std::to_string(at), at);
  };
  std::size_t pos = at + 1;
  for (;;) {
    pos = next_special(text, pos);
    if (pos == text.size()) return unterminated();
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '"') return pos + 1;
    if (c < 0x20) return error_at("unescaped control character in a string", pos);
    if (c >= 0x80) {
      const std::size_t length = utf8_sequence(text, pos);
      if (length == std::string_view::npos) return unterminated();
      if (length == 0) return error_at("invalid UTF-8", pos);
      pos += length;
      continue;
    }
    // A backslash.
    if (pos + 1 == text.size()) return unterminated();
    switch (text[pos + 1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        pos += 2;
        continue;
      case 'u':
        break;
      default:
        return error_at("invalid escape", pos);
    }
    const Escape escape = u_escape_at(text, pos);
    if (escape != Escape::Whole) {
      return escape == Escape::Cut ? unterminated() : error_at("invalid \\u escape", pos);
    }
    const unsigned unit = code_unit(text.data() + pos + 2);
    if (unit >= 0xD800 && unit <= 0xDBFF) {  // must be followed by the low half
      const Escape second = u_escape_at(text, pos + 6);
      if (second == Escape::Cut) return unterminated();
      if (second == Escape::Whole) {
        const unsigned low = code_unit(text.data() + pos + 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          pos += 12;
          continue;
        }
      }
    } else if (unit < 0xDC00 || unit > 0xDFFF) {
      pos += 6;
      continue;
    }
    return error_at("lone surrogate " + std::string(text.substr(pos, 6)), pos);
  }
}

std::string decoded_json_string(std::string_view token) {
  std::string value;
  value.reserve(token.size() - 2);
  decode_json_string(token, [&](std::string_view piece) {
    value += piece;
    return true;
  });
  return value;
}

bool json_string_equals(std::string_view token, std::string_view value) {
  std::size_t matched = 0;
  const bool whole = decode_json_string(token, [&](std::string_view piece) {
    if (value.substr(matched, piece.size()) != piece) return false;
    matched += piece.size();
    return true;
  });
  return whole && matched == value.size();
}

std::string json_string_token(std::string_view value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  token.reserve(value.size() + 2);
  token += '"';
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      token += '\\';
      token += c;
    } else if (byte < 0x20) {
      const char* const short_forms = "\b\f\n\r\t";
      const char* const letters = "bfnrt";
      const char* found = byte != 0 ? std::strchr(short_forms, c) : nullptr;
      if (found != nullptr) {
        token += '\\';
        token += letters[found - short_forms];
      } else {
        token += "\\u00";
        token += kDigits[byte >> 4];
        token += kDigits[byte & 15];
      }
    } else {
      token += c;
    }
  }
  token += '"';
  return token;
}

}  // namespace quillmark::package
