// The manifest store of an archive: the body of its last manifest record.
#pragma once

#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "record/constants.hpp"

namespace quillmark {

// True when the last "warc-type" value is exactly MANIFEST_WARC_TYPE and the
// last "content-type" value exactly MANIFEST_CONTENT_TYPE.
bool is_manifest_headers(std::string_view warc_type, bool has_warc_type,
                         std::string_view content_type, bool has_content_type) noexcept;

// Watches the header fields of one record as the scanner hands them over
// (names untouched, values untrimmed) and tells whether it is a manifest
// record. A later occurrence of a name replaces an earlier one, as in a
// header map; only the two values compared are trimmed.
class ManifestWatch {
 public:
  void operator()(std::string_view name, std::string_view raw_value) noexcept;
  bool is_manifest() const noexcept;

 private:
  std::optional<std::string_view> warc_type_;
  std::optional<std::string_view> content_type_;
};

// The body of the last manifest record as a view into `warc`, without copying
// any other body; NoManifest when there is none, the parser's error when any
// part of the archive is malformed.
Result<std::string_view> locate_manifest(std::string_view warc);

// A copy of that body, for callers that keep it past the archive's buffer;
// the Python module copies the located view into its bytes object instead.
Result<ByteBuffer> find_manifest(std::string_view warc);

}  // namespace quillmark
