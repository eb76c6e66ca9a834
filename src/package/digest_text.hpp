// datapackage-digest.json, read in one pass:
//   {"path": "datapackage.json", "hash": "sha256:<hex>", "signedData": {...}}
//
//   Result<PackageDigestText> digest = read_package_digest(text);
//   Result<std::string_view> hash = digest->hash_text();
//   // new text: replace digest->hash->span with a new token, and remove every
//   // span of digest->signature_spans when the signature cannot stand
//
// The whole text is checked as JSON (json_walk.hpp: its errors come first);
// the top level must be an object. Where a key is repeated the last member
// counts, as JSON readers keep the last; keys are compared after their
// escapes are decoded.
//
// signature_spans covers every "signedData" member, each together with the
// comma that goes with it (the one before it where a member that stays comes
// before, else the one after): removing all of them leaves a valid object
// with every other byte of the text as it was.
//
// Errors (PackageText; the offset is the byte concerned, 0 for the text as a
// whole), after those of the JSON:
//   "not a JSON object"
// and from the lookups:
//   "path is missing", "path is not a string", "hash is missing",
//   "hash is not a string"
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "package/json_walk.hpp"

namespace quillmark::package {

struct PackageDigestText {
  std::optional<JsonValue> path;          // the value of the "path" member
  std::string path_string;                // decoded, when it is a string
  std::optional<JsonValue> hash;          // the value of the "hash" member
  std::string hash_string;                // decoded, when it is a string
  bool is_signed = false;                 // "signedData" is there and not null
  std::vector<TextSpan> signature_spans;  // in order, apart from each other

  Result<std::string_view> path_text() const;
  Result<std::string_view> hash_text() const;
};

Result<PackageDigestText> read_package_digest(std::string_view text);

}  // namespace quillmark::package
