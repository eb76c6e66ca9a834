// Texts shared by the reader and the writer.
#pragma once

#include <string_view>

namespace quillmark {

inline constexpr std::string_view WARC_VERSION = "WARC/1.1";
inline constexpr std::string_view MANIFEST_WARC_TYPE = "c2paprovenance";
inline constexpr std::string_view MANIFEST_CONTENT_TYPE = "application/c2pa";

// Byte buffers that the core returns. std::string gives a contiguous, growable
// array of bytes with cheap moves; its contents are bytes, not text.
using ByteBuffer = std::string;

}  // namespace quillmark
