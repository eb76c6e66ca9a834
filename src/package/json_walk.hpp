// One forward pass over a JSON text that checks all of it and tells a visitor
// about the parts it follows: no tree, no recursion, positions as offsets.
//
// Accepted: exactly RFC 8259 JSON (one value; only space, tab, CR and LF
// between tokens and around the value; strings as json_string.hpp checks
// them; numbers by the grammar, their text never read as a value here), after
// at most one UTF-8 byte-order mark at the very start. Containers nest at
// most kMaxJsonDepth deep; the levels are kept in a fixed array, not on the
// call stack, so any text costs the same small stack.
//
// The visitor gives each container a role when it opens; the walker tells it
// about the keys, members and elements of containers whose role is not
// kIgnored (the top-level value's parent has the role kDocument), and nothing
// about the insides of ignored ones. Errors are PackageText errors whose
// message names the byte (and whose offset is that byte):
//   "not valid JSON: expected a value at byte N"
//   "not valid JSON: expected a value or ']' at byte N"
//   "not valid JSON: expected a key at byte N"
//   "not valid JSON: expected a key or '}' at byte N"
//   "not valid JSON: expected ':' at byte N"
//   "not valid JSON: expected ',' or ']' at byte N"
//   "not valid JSON: expected ',' or '}' at byte N"
//   "not valid JSON: invalid number at byte N"   (N: the byte that breaks it)
//   "not valid JSON: unexpected data after the value at byte N"
//   "nested deeper than 512 levels at byte N"    (N: the bracket of level 513)
//   and the string errors of scan_json_string.
// The first error in the text is the one reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error/error.hpp"

namespace quillmark::package {

// [begin, end) in the text.
struct TextSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const noexcept { return end - begin; }
  friend bool operator==(const TextSpan&, const TextSpan&) = default;
};

enum class JsonKind : std::uint8_t { Object, Array, String, Number, True, False, Null };

// A value of the text: a token (a string with its quotes), or a container
// from its opening bracket to its closing one, both included.
struct JsonValue {
  JsonKind kind = JsonKind::Null;
  TextSpan span;
  friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

constexpr std::size_t kMaxJsonDepth = 512;

// Roles are the visitor's own numbers, except these two.
using JsonRole = std::uint8_t;
constexpr JsonRole kIgnored = 0;
constexpr JsonRole kDocument = 255;
// What a member's key names, as the visitor classifies it (0 for nothing).
using JsonKey = std::uint8_t;

class JsonVisitor {
 public:
  // A key of an object with role `object`; `token` is the checked string
  // token, from byte `at`. The number returned is given back with its value.
  virtual JsonKey key(JsonRole object, std::string_view token, std::size_t at) = 0;
  // A container opens at byte `at`, as a member (`key`) or element of a
  // container with role `parent`; returns its role.
  virtual JsonRole open(JsonRole parent, JsonKey key, JsonKind kind, std::size_t at) = 0;
  // A value is complete (a container: at its closing bracket).
  virtual void value(JsonRole parent, JsonKey key, const JsonValue& value) = 0;

 protected:
  ~JsonVisitor() = default;
};

// Checks `text` whole, telling `visitor` what it follows as it goes.
Status walk_json(std::string_view text, JsonVisitor& visitor);

}  // namespace quillmark::package
