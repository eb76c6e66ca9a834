// build_record: one serialised WARC/1.1 record.
//
// Header order is fixed: WARC-Type, WARC-Record-ID, WARC-Target-URI (only when
// given), WARC-Date, Content-Type, Content-Length; every line ends in CR LF and
// the body is followed by "\r\n\r\n". Values are written byte for byte, with no
// validation: callers that take record ids from untrusted input must check them.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "record/constants.hpp"

namespace quillmark {

struct RecordFields {
  std::string_view warc_type;
  std::string_view content_type;
  std::string_view record_id;  // written between "<" and ">"
  std::optional<std::string_view> target_uri;
  std::string_view body;
};

// Exact size of the record for these fields and this date text.
std::size_t record_size(const RecordFields& fields, std::string_view date) noexcept;

// Writes exactly record_size(fields, date) bytes at `out`; returns the end.
char* write_record(const RecordFields& fields, std::string_view date, char* out) noexcept;

// The record dated with the current UTC time.
ByteBuffer build_record(std::string_view warc_type, std::string_view content_type,
                        std::string_view record_id, std::optional<std::string_view> target_uri,
                        std::string_view body);

}  // namespace quillmark
