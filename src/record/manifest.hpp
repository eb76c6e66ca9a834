// The manifest store of an archive: the body of its last manifest record.
#pragma once

#include <string_view>

#include "error/error.hpp"
#include "record/constants.hpp"

namespace quillmark {

// True when the last "warc-type" value is exactly MANIFEST_WARC_TYPE and the
// last "content-type" value exactly MANIFEST_CONTENT_TYPE.
bool is_manifest_headers(std::string_view warc_type, bool has_warc_type,
                         std::string_view content_type, bool has_content_type) noexcept;

// The body of the last manifest record as a view into `warc`, without copying
// any other body; NoManifest when there is none, the parser's error when any
// part of the archive is malformed.
Result<std::string_view> locate_manifest(std::string_view warc);

// A copy of that body.
Result<ByteBuffer> find_manifest(std::string_view warc);

}  // namespace quillmark
