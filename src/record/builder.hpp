// build_record: one serialised WARC/1.1 record.
//
// Header order is fixed: WARC-Type, WARC-Record-ID, WARC-Target-URI (only when
// given), WARC-Date, Content-Type, Content-Length; every line ends in CR LF and
// the body is followed by "\r\n\r\n". Values are written byte for byte, with no
// validation: callers that take record ids from untrusted input must check them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
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

// One record ready to be written, in one pass, into a buffer that the caller
// provides: its fields and its date, read from the clock once, when it is
// prepared. The owned-buffer build_record below and the Python layer (which
// writes straight into a new bytes object) both write records this way.
class PreparedRecord {
 public:
  explicit PreparedRecord(const RecordFields& fields);

  const RecordFields& fields() const noexcept { return fields_; }
  std::string_view date() const noexcept { return date_; }
  std::size_t size() const noexcept { return record_size(fields_, date_); }
  // Writes exactly size() bytes at `out`; returns the end.
  char* write(char* out) const noexcept { return write_record(fields_, date_, out); }

 private:
  RecordFields fields_;
  std::string date_;
};

// The record dated with the current UTC time, in a new buffer.
ByteBuffer build_record(std::string_view warc_type, std::string_view content_type,
                        std::string_view record_id, std::optional<std::string_view> target_uri,
                        std::string_view body);

}  // namespace quillmark
