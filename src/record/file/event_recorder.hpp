// What a part of a file scanned ahead, on a thread of its own, found: the
// scan's events, kept compactly until the parts before it are done, then
// replayed into the sink of the whole pass in file order, as if a single
// scan had made them. Archive positions are kept relative to the part's
// start, known only once the parts before it are; file positions are
// absolute. Member groups follow from the records and members, and the
// replay makes them again. Header blocks and bodies are kept only where the
// sink asks for them; a block's fields are split from it again on replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/file/scan_sink.hpp"

namespace quillmark {

class EventRecorder final : public ScanSink {
 public:
  // `target` is the sink the events are for, asked from the recording thread
  // which bodies and blocks it wants.
  explicit EventRecorder(const ScanSink& target) noexcept
      : target_(target), blocks_(target.wants_blocks()) {}

  bool wants_body(const RecordStart& record) const override { return target_.wants_body(record); }
  bool wants_blocks() const override { return blocks_; }
  Status record_begin(const RecordStart& record) override;
  Status record_body(std::string_view piece) override;
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override;
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override;

  // From now on the events come with their true archive positions (the scan
  // was shifted); those before keep needing the shift that replay() is given.
  void mark_shifted() noexcept;

  // Replays the events not replayed yet through `delivery`, those recorded
  // before mark_shifted() moved on by `shift`. Stops after a record the sink
  // pauses at (calling again goes on) or at the sink's first failure.
  Status replay(SinkDelivery& delivery, std::size_t shift);
  bool replayed() const noexcept { return next_ == events_.size(); }
  // Drops what was replayed, once all of it was.
  void forget_replayed() noexcept;
  // Bytes held.
  std::size_t size() const noexcept { return events_.size() + texts_.size(); }

 private:
  // An event is a tag byte and a few varints, each position written as its
  // difference from the one before it, so that the parts read ahead of a
  // file of tiny records fit in a thread's memory. The tag holds the kind,
  // the manifest flag, whether a member ends inside a record and the size of
  // a record's separator.
  //   Begin:  offset, body size, block size (blocks only where kept)
  //   Body:   size
  //   End:    offset, length
  //   Member: compressed start, compressed size, end, end less open record
  // Texts (blocks and bodies) follow one another in texts_ in event order.
  enum class Kind : std::uint8_t { Begin, Body, End, Member };

  // The positions the differences are taken from. Archive positions start
  // again from zero where the true positions begin (mark_shifted), on both
  // sides, so no difference spans the two kinds.
  struct Previous {
    std::size_t offset = 0;      // of the last record begun or ended
    std::size_t member_end = 0;  // in the archive
    std::size_t compressed = 0;  // the file position where the last member ended
    void restart_archive() noexcept { offset = member_end = 0; }
  };

  void put_tag(Kind kind, unsigned flags);
  void put(std::size_t value);
  void put_difference(std::size_t value, std::size_t& previous);
  // The replay reached the events with true positions.
  void pass_true_positions() noexcept;

  const ScanSink& target_;
  bool blocks_;
  std::string events_;
  std::string texts_;
  Previous written_;
  // The reading side: the next byte of events_ and of texts_ to replay, and
  // where the true positions begin (npos once the replay passed there).
  std::size_t next_ = 0;
  std::size_t next_text_ = 0;
  std::size_t shifted_from_ = std::string::npos;
  bool shifting_ = true;
  Previous read_;
  std::optional<std::size_t> member_start_;  // where the next member replayed starts
  std::vector<FieldPlace> replayed_fields_;
};

}  // namespace quillmark
