// The events of a pass handed to its sink, with what follows from them: the
// member groups they make, each handed on as it closes, the records counted,
// and the pause a sink asks for after a record. A scan delivers what it
// frames; the parallel pass delivers what a part read ahead recorded
// (event_recorder.hpp), by the same rules.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "record/file/member_groups.hpp"
#include "record/file/scan_sink.hpp"

namespace quillmark {

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
