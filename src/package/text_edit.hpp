// New values written into a text where the old ones stand, every other byte
// kept: line endings, indentation, escapes, number spellings, key order, a
// byte-order mark. For datapackage.json and its digest: the spans come from
// read_datapackage and read_package_digest; a new hash is a string token
// (json_string_token), a new size a decimal integer (std::to_string), and a
// removal an empty replacement.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "package/json_walk.hpp"

namespace quillmark::package {

struct TextEdit {
  TextSpan span;            // the bytes replaced
  std::string replacement;  // what stands there instead
};

// `text` with each edit made. The spans must lie inside the text, in order
// and apart from each other (one may end where the next begins); otherwise a
// PackageText error "edits overlap at byte N" or "edit past the end of the
// text at byte N" (a caller's mistake, never the text's).
Result<std::string> edit_text(std::string_view text, std::span<const TextEdit> edits);

}  // namespace quillmark::package
