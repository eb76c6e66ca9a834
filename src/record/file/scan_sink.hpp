// What a pass over an archive file hands on: the records it frames, the
// bodies the sink asks for, and for a gzip file the members and the member
// groups (member_groups.hpp). What a command makes of them (a summary, a
// listing, an appended archive) is the sink's business.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "error/error.hpp"
#include "record/file/member_groups.hpp"
#include "record/record_index.hpp"

namespace quillmark {

// A record whose header block has been framed; its views are valid during
// the call only.
struct RecordStart {
  std::size_t offset = 0;
  std::string_view block;  // version mark to terminator
  std::size_t body_size = 0;
  bool manifest = false;
  // The header fields as the framer split them, views into `block`.
  std::span<const FieldView> fields;
};

// A gzip member: where it lies in the file and in the uncompressed archive.
struct MemberSpan {
  std::size_t compressed_start = 0;
  std::size_t compressed_end = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

// By default a sink does nothing. A failing Status (an output that cannot
// be written) ends the pass with that error.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // Before anything else, once the pass knows whether the input is gzip.
  virtual void begin(bool /*compressed*/) {}
  // Whether record_body() should see this record's body. Asked from the
  // threads of a parallel pass too, before the record's place in the archive
  // is known: it must not change the sink's state, nor look at the offset.
  virtual bool wants_body(const RecordStart& /*record*/) const { return false; }
  // Whether record_begin() looks at the header block and its fields (a scan
  // splits out the fields, and a parallel pass keeps the blocks of parts read
  // ahead, only for a sink that does).
  virtual bool wants_blocks() const { return true; }
  // Whether the sink takes bodies in bulk (a parallel pass reads smaller
  // parts ahead for such a sink, to hold less).
  virtual bool keeps_bodies() const { return false; }
  virtual Status record_begin(const RecordStart& /*record*/) { return Ok{}; }
  // A piece of a wanted body, valid during the call only.
  virtual Status record_body(std::string_view /*piece*/) { return Ok{}; }
  // The separator is "", "\r\n\r\n" or "\n\n".
  virtual Status record_end(std::size_t /*offset*/, std::size_t /*length*/,
                            std::string_view /*separator*/) {
    return Ok{};
  }
  // `open_record`: the record the member's end leaves open, if any.
  virtual Status member_end(const MemberSpan& /*member*/,
                            std::optional<std::size_t> /*open_record*/) {
    return Ok{};
  }
  virtual Status group_closed(const MemberGroup& /*group*/) { return Ok{}; }
  // Asked after each record: whether the pass should return to its caller.
  virtual bool pause() { return false; }
};

}  // namespace quillmark
