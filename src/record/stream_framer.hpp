// StreamFramer: the archive reader for data that arrives in pieces.
//
// A file on disk or a gzip stream cannot be held whole, so its bytes are fed
// in pieces of any size. The framer applies the steps of scanner.hpp to them,
// in the same order, and reaches the same verdict as RecordScanner on the
// concatenation of everything fed: the same records with the same offsets and
// lengths, or the same Error. A step that finds the data too short asks for
// more instead of failing; only finish() treats the end of the data as final.
//
// Nothing is held but what a decision needs: a header block that straddles
// pieces (copied until its terminator arrives) and at most three bytes after a
// body while the separator is undecided. Bodies are handed to the visitor as
// views of the piece they arrive in, or skipped without being fed at all.
//
// The visitor receives, in archive order:
//   field(name, raw_value)            each header line with a colon, as from
//                                     RecordScanner, before header()
//   header(offset, block, body_size)  the header block, version mark to
//                                     terminator included; views valid only
//                                     during the call
//   body(piece)                       the body, in one or more pieces
//   end(offset, length, separator)    the record is complete
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "record/scanner.hpp"

namespace quillmark {

class StreamFramer {
 public:
  // `start` is the archive position of the first byte that will be fed.
  explicit StreamFramer(std::size_t start = 0) noexcept : pos_(start) {}

  // Reads the next piece. Fails with the reader's Error on the first record
  // that can no longer be valid, and with that same Error on every call after.
  template <class Visitor>
  Status feed(std::string_view data, Visitor& visitor);

  // The end of the data: completes or rejects whatever is open.
  template <class Visitor>
  Status finish(Visitor& visitor);

  // Archive position of the next byte to be fed.
  std::size_t position() const noexcept { return pos_; }
  // Offset of the record that is open (begun but not complete), if any.
  std::optional<std::size_t> open_record() const noexcept {
    if (state_ == State::Header || state_ == State::Body || state_ == State::Separator) {
      return record_;
    }
    return std::nullopt;
  }
  // Moves every archive position the framer holds on by `by`: the data fed so
  // far turns out to start `by` bytes later in the archive than it was told.
  void shift(std::size_t by) noexcept {
    pos_ += by;
    record_ += by;
    body_end_ += by;
  }
  // Whether the data fed so far ends between records: nothing is open or held.
  bool between_records() const noexcept { return state_ == State::Gap || state_ == State::Done; }
  // Body bytes that the open record still expects; 0 outside a body.
  std::size_t body_remaining() const noexcept { return state_ == State::Body ? remaining_ : 0; }
  // Passes over `n` <= body_remaining() body bytes that are not fed, for a
  // caller that can skip them in its source. They reach no visitor.
  void skip_body(std::size_t n) noexcept;

 private:
  enum class State { Gap, Header, Body, Separator, Done, Failed };

  Status fail(Error error) {
    state_ = State::Failed;
    error_ = std::move(error);
    return *error_;
  }
  void enter_body(std::size_t body_size) noexcept;
  template <class Visitor>
  Status feed_header(std::string_view& data, Visitor& visitor);
  template <class Visitor>
  Status feed_separator(std::string_view& data, bool at_end, Visitor& visitor);

  State state_ = State::Gap;
  std::size_t pos_;
  std::size_t record_ = 0;    // offset of the open record
  std::size_t body_end_ = 0;  // archive position where its body ends
  std::size_t remaining_ = 0;
  std::size_t search_from_ = 0;
  std::string pending_;  // header bytes, or separator bytes, held across pieces
  std::optional<Error> error_;
};

inline void StreamFramer::skip_body(std::size_t n) noexcept {
  if (state_ != State::Body || n > remaining_) return;
  remaining_ -= n;
  pos_ += n;
  if (remaining_ == 0) state_ = State::Separator;
}

inline void StreamFramer::enter_body(std::size_t body_size) noexcept {
  pending_.clear();
  remaining_ = body_size;
  body_end_ = pos_ + body_size;
  state_ = remaining_ == 0 ? State::Separator : State::Body;
}

template <class Visitor>
Status StreamFramer::feed(std::string_view data, Visitor& visitor) {
  while (!data.empty()) {
    switch (state_) {
      case State::Failed:
        return *error_;
      case State::Done:
        return Ok{};
      case State::Gap: {
        const std::size_t gap = gap_length(data);
        pos_ += gap;
        data.remove_prefix(gap);
        if (data.empty()) return Ok{};
        record_ = pos_;
        search_from_ = WARC_VERSION.size();
        pending_.clear();
        state_ = State::Header;
        break;
      }
      case State::Header:
        if (Status status = feed_header(data, visitor); !status) return status;
        break;
      case State::Body: {
        const std::size_t n = remaining_ < data.size() ? remaining_ : data.size();
        visitor.body(data.substr(0, n));
        remaining_ -= n;
        pos_ += n;
        data.remove_prefix(n);
        if (remaining_ == 0) state_ = State::Separator;
        break;
      }
      case State::Separator:
        if (Status status = feed_separator(data, /*at_end=*/false, visitor); !status) return status;
        break;
    }
  }
  return Ok{};
}

template <class Visitor>
Status StreamFramer::feed_header(std::string_view& data, Visitor& visitor) {
  const auto on_field = [&](std::string_view name, std::string_view raw_value) {
    visitor.field(name, raw_value);
  };
  if (pending_.empty()) {
    // The usual case: the whole header block lies in this piece.
    HeaderStep step = frame_header(data, record_, /*at_end=*/false, search_from_, on_field);
    if (step.status == HeaderStep::Status::Failed) return fail(std::move(*step.error));
    if (step.status == HeaderStep::Status::NeedMore) {
      pending_.assign(data);
      pos_ += data.size();
      data = {};
      return Ok{};
    }
    visitor.header(record_, data.substr(0, step.header_length), step.body_size);
    pos_ += step.header_length;
    data.remove_prefix(step.header_length);
    enter_body(step.body_size);
    return Ok{};
  }

  // A block begun in an earlier piece. Append no more of this one than up to
  // the first terminator that ends in it, so that body bytes are not copied.
  std::size_t take = data.size();
  const std::size_t tail = pending_.size() < 3 ? pending_.size() : 3;
  // A buffer of its own, not a string: nothing here needs freeing should the
  // bytes come from a mapping that fails (see record/file/input_window.hpp).
  char joined[6];
  const std::size_t head = std::min<std::size_t>(3, data.size());
  pending_.copy(joined, tail, pending_.size() - tail);
  data.copy(joined + tail, head);
  const std::string_view junction(joined, tail + head);
  if (const std::size_t at = scan_detail::find_terminator(junction, 0);
      at != std::string_view::npos) {
    take = at + 4 - tail;
  } else if (const std::size_t at = scan_detail::find_terminator(data, 0);
             at != std::string_view::npos) {
    take = at + 4;
  }
  const std::size_t held = pending_.size();
  for (;;) {
    pending_.append(data.substr(pending_.size() - held, take - (pending_.size() - held)));
    HeaderStep step = frame_header(pending_, record_, /*at_end=*/false, search_from_, on_field);
    if (step.status == HeaderStep::Status::Failed) return fail(std::move(*step.error));
    if (step.status == HeaderStep::Status::Complete) {
      const std::size_t used = step.header_length - held;
      visitor.header(record_, std::string_view(pending_).substr(0, step.header_length),
                     step.body_size);
      pos_ += used;
      data.remove_prefix(used);
      enter_body(step.body_size);
      return Ok{};
    }
    // Only a terminator that overlaps the version mark is passed over; then
    // the rest of the piece belongs to the block too.
    if (take == data.size()) break;
    take = data.size();
  }
  pos_ += data.size();
  data = {};
  return Ok{};
}

template <class Visitor>
Status StreamFramer::feed_separator(std::string_view& data, bool at_end, Visitor& visitor) {
  const std::size_t held = pending_.size();
  const std::size_t take = std::min<std::size_t>(4 - held, data.size());
  pending_.append(data.substr(0, take));
  const std::optional<std::size_t> separator = separator_length(pending_, at_end);
  if (!separator) {
    pos_ += take;
    data.remove_prefix(take);
    return Ok{};
  }
  constexpr std::string_view kSeparators = "\r\n\r\n";
  const std::string_view text =
      *separator == 2 ? std::string_view("\n\n") : kSeparators.substr(0, *separator);
  visitor.end(record_, body_end_ + *separator - record_, text);
  state_ = State::Gap;
  if (*separator >= held) {
    pos_ += *separator - held;
    data.remove_prefix(*separator - held);
    pending_.clear();
    return Ok{};
  }
  // Held bytes that turned out not to be separator: the data after the
  // record begins with them, so they are read again as such.
  const std::string after(pending_, *separator, held - *separator);
  pending_.clear();
  pos_ -= after.size();
  return feed(after, visitor);
}

template <class Visitor>
Status StreamFramer::finish(Visitor& visitor) {
  switch (state_) {
    case State::Failed:
      return *error_;
    case State::Done:
    case State::Gap:
      state_ = State::Done;
      return Ok{};
    case State::Header: {
      HeaderStep step = frame_header(pending_, record_, /*at_end=*/true, search_from_,
                                     [](std::string_view, std::string_view) {});
      // A block that could be complete would have been completed by feed().
      if (step.status == HeaderStep::Status::Failed) return fail(std::move(*step.error));
      return fail(Error::invalid_record("unterminated header", record_));
    }
    case State::Body:
      return fail(body_past_end(record_));
    case State::Separator: {
      std::string_view none;
      if (Status status = feed_separator(none, /*at_end=*/true, visitor); !status) return status;
      return finish(visitor);
    }
  }
  return Ok{};
}

}  // namespace quillmark
