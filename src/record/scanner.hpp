// One forward pass over an archive, record by record, with no allocation.
//
// The framing rules live here, once, as steps that work on whatever part of
// the archive a caller holds: the gap of CR and LF bytes before a record, the
// version mark and header block (frame_header), the body size and the record
// separator. RecordScanner applies them to a whole archive in memory; the
// stream framer (stream_framer.hpp) applies the same steps to an archive that
// arrives in pieces, telling "the data ends here" apart from "more may come".
//
// Header lines go to a visitor as views into the caller's buffer: the name
// trimmed but not yet lower-cased, the value as it stands after the colon,
// not yet trimmed: most callers look at a few names only and trim just the
// values they keep. Higher layers decide what to keep.
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
  std::size_t offset = 0;  // position of the "W" of "WARC/1.1"
  std::string_view body;   // Content-Length bytes after the terminator
  std::size_t end = 0;     // end of the separator, or of the body without one
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

// Calls on_field(name, raw_value) for every line of a header block with a
// colon: `name` trimmed, trim_white_space(raw_value) the header's value.
template <class OnField>
void for_each_field(std::string_view block, OnField&& on_field) {
  for_each_header_line(block, [&](std::string_view line, std::size_t colon) {
    if (colon != std::string_view::npos) {
      on_field(trim_white_space(line.substr(0, colon)), line.substr(colon + 1));
    }
  });
}

}  // namespace scan_detail

// The number of CR and LF bytes that `data` begins with: bytes between
// records, which belong to no record.
inline std::size_t gap_length(std::string_view data) noexcept {
  std::size_t n = 0;
  while (n < data.size() && (data[n] == '\r' || data[n] == '\n')) ++n;
  return n;
}

// The outcome of framing one record's header block.
struct HeaderStep {
  enum class Status { Complete, NeedMore, Failed };
  Status status = Status::NeedMore;
  std::size_t header_length = 0;  // version mark to terminator, the terminator included
  std::size_t body_size = 0;      // the Content-Length value
  std::optional<Error> error;     // when Failed
};

// The failure for a record whose data ends inside its body.
inline Error body_past_end(std::size_t offset) {
  return Error::invalid_record("body extends past end of data", offset);
}

// Frames the header block of the record that `data` begins with ("W" of
// "WARC/1.1" at data[0], archive position `offset`), calling
// on_field(name, raw_value) for each header line with a colon, in archive
// order; trim_white_space(raw_value) is the header's value.
//
// `at_end` says that no byte follows `data`: then a missing terminator or a
// short version mark is a failure, otherwise more data is asked for
// (NeedMore). `search_from` is where the terminator search starts; a
// NeedMore step moves it on, so that asking again with more data does not
// search the same bytes twice. It starts at WARC_VERSION.size().
template <class OnField>
HeaderStep frame_header(std::string_view data, std::size_t offset, bool at_end,
                        std::size_t& search_from, OnField&& on_field) {
  HeaderStep step;
  const auto fail = [&](std::string detail) {
    step.status = HeaderStep::Status::Failed;
    step.error = Error::invalid_record(std::move(detail), offset);
    return step;
  };
  const std::size_t mark = WARC_VERSION.size();
  const std::size_t available = data.size() < mark ? data.size() : mark;
  if (std::memcmp(data.data(), WARC_VERSION.data(), available) != 0 ||
      (available < mark && at_end)) {
    return fail("expected WARC/1.1 at offset " + std::to_string(offset));
  }
  if (available < mark) return step;

  const std::size_t terminator = scan_detail::find_terminator(data, search_from);
  if (terminator == std::string_view::npos) {
    if (at_end) return fail("unterminated header");
    // A terminator may still begin in the last three bytes.
    if (data.size() > mark + 3) search_from = data.size() - 3;
    return step;
  }

  const std::string_view block = data.substr(0, terminator);
  if (!is_valid_utf8(block)) return fail("non-UTF-8 header");

  std::optional<std::string_view> content_length;
  scan_detail::for_each_field(block, [&](std::string_view name, std::string_view raw_value) {
    if (name.size() == 14 && equals_ascii_lower(name, "content-length")) {
      content_length = trim_white_space(raw_value);
    }
    on_field(name, raw_value);
  });
  if (!content_length) return fail("missing Content-Length");
  const std::optional<std::size_t> body_size = parse_content_length(*content_length);
  if (!body_size) return fail("invalid Content-Length");

  step.status = HeaderStep::Status::Complete;
  step.header_length = terminator + 4;
  step.body_size = *body_size;
  return step;
}

// Length of the record separator that `after_body` (the bytes right after a
// body) begins with: 4 for "\r\n\r\n", else 2 for "\n\n", else 0. Without
// `at_end`, nullopt while fewer than four bytes are there to decide on.
inline std::optional<std::size_t> separator_length(std::string_view after_body,
                                                   bool at_end) noexcept {
  constexpr std::string_view crlf2 = "\r\n\r\n";
  const std::size_t size = after_body.size();
  if (size >= 4 && after_body.substr(0, 4) == crlf2) return 4;
  // Undecided only while what is there could still grow into a separator.
  if (!at_end && size < 4 && after_body == crlf2.substr(0, size)) return std::nullopt;
  if (size >= 2 && after_body[0] == '\n' && after_body[1] == '\n') return 2;
  if (!at_end && size == 1 && after_body[0] == '\n') return std::nullopt;
  return 0;
}

class RecordScanner {
 public:
  explicit RecordScanner(std::string_view data) noexcept : data_(data) {}

  // Frames the next record, calling on_field(name, raw_value) for each header
  // line with a colon, in archive order (see frame_header). Returns true with
  // `frame` filled; false at the end of the data (error() empty) or on the
  // first framing error.
  template <class OnField>
  bool next(RecordFrame& frame, OnField&& on_field);

  const std::optional<Error>& error() const noexcept { return error_; }
  std::optional<Error>& error() noexcept { return error_; }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
  std::optional<Error> error_;
};

template <class OnField>
bool RecordScanner::next(RecordFrame& frame, OnField&& on_field) {
  const std::size_t size = data_.size();
  const std::size_t offset = pos_ + gap_length(data_.substr(pos_));
  if (offset == size) {
    pos_ = offset;
    return false;
  }

  std::size_t search_from = WARC_VERSION.size();
  HeaderStep step = frame_header(data_.substr(offset), offset, /*at_end=*/true, search_from,
                                 std::forward<OnField>(on_field));
  if (step.status != HeaderStep::Status::Complete) {
    error_ = std::move(step.error);
    return false;
  }

  const std::size_t body_start = offset + step.header_length;
  if (step.body_size > size - body_start) {
    error_ = body_past_end(offset);
    return false;
  }
  std::size_t end = body_start + step.body_size;
  end += *separator_length(data_.substr(end), /*at_end=*/true);

  frame.offset = offset;
  frame.body = std::string_view(data_.data() + body_start, step.body_size);
  frame.end = end;
  pos_ = end;
  return true;
}

}  // namespace quillmark
