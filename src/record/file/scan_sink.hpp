// What a pass over an archive file hands on to a ScanSink: the records it
// frames, the bodies the sink asks for, and for a gzip file the members and
// the member groups (member_groups.hpp). What a command makes of them (a
// summary, a listing, an appended archive) is the sink's business.
//
// SinkDelivery hands them on by the same rules for a scan, which frames them,
// and for the parallel pass, which replays what a part read ahead recorded
// (event_recorder.hpp): groups made and handed on as they close, records
// counted, a pause taken where the sink asks for one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "error/error.hpp"
#include "record/file/member_groups.hpp"

namespace quillmark {

// A header field as the framer split it: where its name and value, both
// trimmed, lie in the record's header block.
struct FieldPlace {
  std::size_t name_at = 0, name_size = 0, value_at = 0, value_size = 0;

  static FieldPlace in(std::string_view block, std::string_view name, std::string_view value) {
    const auto at = [&](std::string_view text) {
      return static_cast<std::size_t>(text.data() - block.data());
    };
    return FieldPlace{at(name), name.size(), at(value), value.size()};
  }
};

// A record whose header block has been framed; its views are valid during
// the call only.
struct RecordStart {
  std::size_t offset = 0;
  std::string_view block;  // version mark to terminator
  std::size_t body_size = 0;
  bool manifest = false;
  std::span<const FieldPlace> fields;
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
  // threads of a parallel pass too, before the record's place is known: it
  // must not change the sink's state, nor look at the offset.
  virtual bool wants_body(const RecordStart& /*record*/) const { return false; }
  // Whether record_begin() looks at the header block and its fields, which a
  // scan splits out, and a parallel pass keeps, only for a sink that does.
  virtual bool wants_blocks() const { return true; }
  // Whether the sink takes bodies in bulk (a parallel pass then reads
  // smaller parts ahead, to hold less).
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

class SinkDelivery {
 public:
  // The first group begins at those positions.
  SinkDelivery(ScanSink& sink, std::size_t compressed_start, std::size_t start) noexcept
      : sink_(sink), groups_(compressed_start, start) {}

  // Tells the sink whether the input is gzip, unless it was `told` already.
  // Only gzip data has groups.
  void begin(bool compressed, bool told = false) {
    grouped_ = compressed;
    if (!told) sink_.begin(compressed);
  }
  Status record_begin(const RecordStart& record) {
    ++records_;
    if (record.manifest) ++manifest_records_;
    if (grouped_) groups_.record_begin(record.manifest);
    return sink_.record_begin(record);
  }
  Status record_body(std::string_view piece) { return sink_.record_body(piece); }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) {
    Status status = sink_.record_end(offset, length, separator);
    if (status && grouped_) status = hand_on(groups_.record_end(offset, length));
    if (status && sink_.pause()) paused_ = true;
    return status;
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
    Status status = sink_.member_end(member, open_record);
    if (!status) return status;
    return hand_on(groups_.member_end(member.compressed_end, member.end, open_record));
  }
  // The end of the data: the last group closes.
  Status finish() { return grouped_ ? hand_on(groups_.finish()) : Status(Ok{}); }

  // Whether the sink asked for a pause after a record, since resume().
  bool paused() const noexcept { return paused_; }
  void resume() noexcept { paused_ = false; }

  const ScanSink& sink() const noexcept { return sink_; }
  MemberGroups& groups() noexcept { return groups_; }
  const MemberGroups& groups() const noexcept { return groups_; }
  std::size_t records() const noexcept { return records_; }
  std::size_t manifest_records() const noexcept { return manifest_records_; }

 private:
  Status hand_on(const std::optional<MemberGroup>& group) {
    return group ? sink_.group_closed(*group) : Status(Ok{});
  }

  ScanSink& sink_;
  MemberGroups groups_;
  bool grouped_ = false;
  bool paused_ = false;
  std::size_t records_ = 0;
  std::size_t manifest_records_ = 0;
};

}  // namespace quillmark
