// One forward pass over an archive, record by record, with no allocation.
//
// The scanner frames each record (gap, version mark, header block, body,
// separator), checks every framing rule in order and hands each header line to
// a visitor as views into the caller's buffer: the name trimmed but not yet
// lower-cased, the value as it stands after the colon, not yet trimmed: most
// callers look at a few names only and trim just the values they keep.
// Higher layers decide what to keep.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Position of the first LF at or after `from`, with the position of the first
// ":" between `from` and that LF in `colon` (npos when there is none). Either
// is npos when absent. SSE2 is part of every x86-64 CPU; 16 bytes are tested
// at a time for both bytes at once, so a header line costs one pass.
inline std::size_t find_line_end(const char* base, std::size_t from, std::size_t size,
                                 std::size_t& colon) noexcept {
  constexpr std::size_t npos = std::string_view::npos;
  colon = npos;
  std::size_t pos = from;
#if defined(__SSE2__)
  const __m128i lf_bytes = _mm_set1_epi8('\n');
  const __m128i colon_bytes = _mm_set1_epi8(':');
  for (; size - pos >= 16; pos += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + pos));
    const unsigned lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lf_bytes)));
    unsigned colons = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, colon_bytes)));
    if (lf != 0) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(lf));
      colons &= (1u << at) - 1;  // only colons before the LF
      if (colon == npos && colons != 0) colon = pos + static_cast<unsigned>(__builtin_ctz(colons));
      return pos + at;
    }
    if (colon == npos && colons != 0) colon = pos + static_cast<unsigned>(__builtin_ctz(colons));
  }
#endif
  for (; pos < size; ++pos) {
    if (base[pos] == '\n') return pos;
    if (base[pos] == ':' && colon == npos) colon = pos;
  }
  return npos;
}

// Calls on_line(line, colon) for every line after the first of a header
// block; `colon` is the position of the line's first ":", or npos.
template <class OnLine>
void for_each_header_line(std::string_view block, OnLine&& on_line) {
  constexpr std::size_t npos = std::string_view::npos;
  const char* const base = block.data();
  const std::size_t size = block.size();
  const void* first_lf = std::memchr(base, '\n', size);
  if (first_lf == nullptr) return;  // only the version line
  std::size_t start = static_cast<const char*>(first_lf) - base + 1;
  while (start < size) {
    std::size_t colon;
    const std::size_t lf = find_line_end(base, start, size, colon);
    std::size_t stop = lf == npos ? size : lf;
    // One CR before the LF ends the line with it; the final line stays whole.
    // A colon always lies before that CR, since it is found before the LF.
    if (lf != npos && stop > start && base[stop - 1] == '\r') --stop;
    on_line(std::string_view(base + start, stop - start), colon == npos ? npos : colon - start);
    if (lf == npos) return;
    start = lf + 1;
  }
}

}  // namespace scan_detail

class RecordScanner {
 public:
  explicit RecordScanner(std::string_view data) noexcept : data_(data) {}

  // Frames the next record, calling on_field(name, raw_value) for each header
  // line with a colon, in archive order; trim_white_space(raw_value) is the
  // header's value. Returns true with `frame` filled; false at
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
  scan_detail::for_each_header_line(block, [&](std::string_view line, std::size_t colon) {
    if (colon == std::string_view::npos) return;
    const std::string_view name = trim_white_space(line.substr(0, colon));
    const std::string_view raw_value = line.substr(colon + 1);
    if (name.size() == 14 && equals_ascii_lower(name, "content-length")) {
      content_length = trim_white_space(raw_value);
    }
    on_field(name, raw_value);
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
