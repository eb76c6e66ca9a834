// The parsed record, owning all of its data: part of the owned-value model
// (see parse_records.hpp), which the Python module does not use.
#pragma once

#include <cstddef>

#include "record/constants.hpp"
#include "record/owned/header_map.hpp"

namespace quillmark {

struct WarcRecord {
  HeaderMap headers;       // version line excluded
  ByteBuffer body;         // exactly Content-Length bytes
  std::size_t offset = 0;  // position of the "W" of "WARC/1.1"
  std::size_t length = 0;  // archive bytes covered, record separator included

  // WARC-Type "c2paprovenance" and Content-Type "application/c2pa", byte for byte.
  bool is_c2pa_manifest() const noexcept;

  friend bool operator==(const WarcRecord&, const WarcRecord&) = default;
};

}  // namespace quillmark
