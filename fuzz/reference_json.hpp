// A second, deliberately plain JSON reader, the oracle of the package text
// target: recursive descent into a tree, code points decoded and checked one
// by one, no shortcut shared with the one-pass reader it checks.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmark::fuzz {

struct ReferenceJson {
  enum class Kind { Object, Array, String, Number, True, False, Null } kind = Kind::Null;
  std::size_t begin = 0, end = 0;  // the value's text, brackets or quotes included
  std::string string;              // decoded, for a string
  // Members in order, repeated keys kept: keys[i] names values[i].
  std::vector<std::string> keys;
  std::vector<ReferenceJson> values;
  std::vector<ReferenceJson> elements;

  // The last member named `name`, as JSON readers keep it, or null.
  const ReferenceJson* member(std::string_view name) const;
};

// The document, or nullopt when `text` is not JSON (one optional UTF-8
// byte-order mark first; nesting deeper than `max_depth` counts as not JSON).
std::optional<ReferenceJson> reference_json(std::string_view text, std::size_t max_depth);

}  // namespace quillmark::fuzz
