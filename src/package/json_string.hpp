// JSON string tokens: checked, decoded, compared and made.
//
// A token is the text from its opening quote to its closing quote, both
// included. scan_json_string checks one in place: the escapes of JSON, \uXXXX
// pairs for characters beyond the Basic Multilingual Plane, strict UTF-8
// (no overlong forms, no encoded surrogates, nothing above U+10FFFF) and no
// raw control character. The other functions take only tokens it accepted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error/error.hpp"

namespace quillmark::package {

// Checks the token that starts at text[at] (a quote) and returns the position
// just after its closing quote, or a PackageText error, at the byte it names:
//   "unterminated string from byte N"            (N: the opening quote)
//   "unescaped control character in a string at byte N"
//   "invalid escape at byte N"                   (N: the backslash)
//   "invalid \u escape at byte N"                (not four hex digits)
//   "lone surrogate \ud800 at byte N"            (the escape as written)
//   "invalid UTF-8 at byte N"                    (N: the first byte of the sequence)
Result<std::size_t> scan_json_string(std::string_view text, std::size_t at);

// Hands the decoded bytes of `token`, in order, to `out(std::string_view)`, a
// piece at a time; stops as soon as `out` returns false. Returns whether it
// went to the end.
template <class Out>
bool decode_json_string(std::string_view token, Out&& out);

// The decoded text of `token` (UTF-8).
std::string decoded_json_string(std::string_view token);

// Whether `token` decodes to exactly `value`; decodes no further than needed.
bool json_string_equals(std::string_view token, std::string_view value);

// `value` (UTF-8) as a token: quotes around it, and only '"', '\' and the
// control characters escaped.
std::string json_string_token(std::string_view value);

// ---------------------------------------------------------------------------

namespace json_string_detail {

int hex_digit(char c) noexcept;
// The code unit of the four hex digits at p (checked already).
unsigned code_unit(const char* p) noexcept;
// Writes the UTF-8 of `code_point` to `out`; returns its length.
std::size_t encode_utf8(unsigned code_point, char* out) noexcept;
// The character a one-letter escape stands for ('"' for 'quote', ...).
char simple_escape(char letter) noexcept;

}  // namespace json_string_detail

template <class Out>
bool decode_json_string(std::string_view token, Out&& out) {
  using namespace json_string_detail;
  const std::string_view inner = token.substr(1, token.size() - 2);
  std::size_t run = 0;  // start of the bytes not yet handed on
  std::size_t pos = inner.find('\\');
  while (pos != std::string_view::npos) {
    if (pos > run && !out(inner.substr(run, pos - run))) return false;
    char utf8[4];
    std::size_t length = 1;
    if (inner[pos + 1] != 'u') {
      utf8[0] = simple_escape(inner[pos + 1]);
      pos += 2;
    } else {
      unsigned code_point = code_unit(inner.data() + pos + 2);
      pos += 6;
      if (code_point >= 0xD800 && code_point <= 0xDBFF) {  // a pair, as checked
        code_point =
            0x10000 + ((code_point - 0xD800) << 10) + (code_unit(inner.data() + pos + 2) - 0xDC00);
        pos += 6;
      }
      length = encode_utf8(code_point, utf8);
    }
    if (!out(std::string_view(utf8, length))) return false;
    run = pos;
    pos = inner.find('\\', pos);
  }
  return run == inner.size() || out(inner.substr(run));
}

}  // namespace quillmark::package
