// One forward pass over an archive, record by record, with no allocation.
//
// The scanner frames each record (gap, version mark, header block, body,
// separator), checks every framing rule in order and hands each header line to
// a visitor as views into the caller's buffer: the name trimmed but not yet
// lower-cased, the value trimmed. Higher layers decide what to keep.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "record/constants.hpp"
#include "record/text.hpp"

namespace quillmark {

struct RecordFrame {
  std::size_t offset = 0;         // position of the "W" of "WARC/1.1"
  std::string_view header_block;  // from offset up to the terminator, excluded
  std::string_view body;          // Content-Length bytes after the terminator
  std::size_t end = 0;            // end of the separator, or of the body without one
  std::size_t length() const noexcept { return end - offset; }
};

namespace scan_detail {

// Smallest p >= from with data[p, p+4) == "\r\n\r\n", or npos.
std::size_t find_terminator(std::string_view data, std::size_t from) noexcept;

// Calls on_line(line) for every line after the first of a header block.
template <class OnLine>
void for_each_header_line(std::string_view block, OnLine&& on_line) {
  const char* const base = block.data();
  const std::size_t size = block.size();
  const void* first_lf = std::memchr(base, '\n', size);
  if (first_lf == nullptr) return;  // only the version line
  std::size_t start = static_cast<const char*>(first_lf) - base + 1;
  while (start < size) {
    const void* lf = std::memchr(base + start, '\n', size - start);
    if (lf == nullptr) {
      on_line(std::string_view(base + start, size - start));  // final line, taken unchanged
      return;
    }
    std::size_t stop = static_cast<const char*>(lf) - base;
    std::size_t next = stop + 1;
    if (stop > start && base[stop - 1] == '\r') --stop;
    on_line(std::string_view(base + start, stop - start));
    start = next;
  }
}

}  // namespace scan_detail

class RecordScanner {
 public:
  explicit RecordScanner(std::string_view data) noexcept : data_(data) {}

  // Frames the next record, calling on_field(name, value) for each header line
  // with a colon, in archive order. Returns true with `frame` filled; false at
  // the end of the data (error() empty) or on the first framing error.
  template <class OnField>
  bool next(RecordFrame& frame, OnField&& on_field);

  const std::optional<Error>& error() const noexcept { return error_; }
  std::optional<Error>& error() noexcept { return error_; }
  std::size_t position() const noexcept { return pos_; }

 private:
  bool fail(std::string detail, std::size_t offset) {
    error_ = Error::invalid_record(std::move(detail), offset);
    return false;
  }

  std::string_view data_;
  std::size_t pos_ = 0;
  std::optional<Error> error_;
};

template <class OnField>
bool RecordScanner::next(RecordFrame& frame, OnField&& on_field) {
  const std::size_t size = data_.size();
  const char* const base = data_.data();
  std::size_t pos = pos_;
  while (pos < size && (base[pos] == '\r' || base[pos] == '\n')) ++pos;
  if (pos == size) {
    pos_ = pos;
    return false;
  }

  const std::size_t offset = pos;
  if (size - offset < WARC_VERSION.size() ||
      std::memcmp(base + offset, WARC_VERSION.data(), WARC_VERSION.size()) != 0) {
    return fail("expected WARC/1.1 at offset " + std::to_string(offset), offset);
  }

  const std::size_t terminator = scan_detail::find_terminator(data_, offset + WARC_VERSION.size());
  if (terminator == std::string_view::npos) return fail("unterminated header", offset);

  const std::string_view block(base + offset, terminator - offset);
  if (!is_valid_utf8(block)) return fail("non-UTF-8 header", offset);

  std::optional<std::string_view> content_length;
  scan_detail::for_each_header_line(block, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view name = trim_white_space(line.substr(0, colon));
    const std::string_view value = trim_white_space(line.substr(colon + 1));
    if (name.size() == 14 && equals_ascii_lower(name, "content-length")) content_length = value;
    on_field(name, value);
  });
  if (!content_length) return fail("missing Content-Length", offset);
  const std::optional<std::size_t> body_size = parse_content_length(*content_length);
  if (!body_size) return fail("invalid Content-Length", offset);

  const std::size_t body_start = terminator + 4;
  if (*body_size > size - body_start) return fail("body extends past end of data", offset);
  std::size_t end = body_start + *body_size;

  const std::size_t rest = size - end;
  if (rest >= 4 && std::memcmp(base + end, "\r\n\r\n", 4) == 0) {
    end += 4;
  } else if (rest >= 2 && base[end] == '\n' && base[end + 1] == '\n') {
    end += 2;
  }

  frame.offset = offset;
  frame.header_block = block;
  frame.body = std::string_view(base + body_start, *body_size);
  frame.end = end;
  pos_ = end;
  return true;
}

}  // namespace quillmark
