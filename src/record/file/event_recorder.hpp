// What a part of a file scanned ahead, on a thread of its own, found: the
// scan's events, kept compactly until the parts before it are done, then
// replayed into the sink of the whole pass in file order, as if a single
// scan had made them.
//
// Positions in the archive are kept relative to the part's start, which is
// only known once the parts before it are; file positions are absolute.
// Member groups are not kept: they follow from the records and members (see
// member_groups.hpp), and the replay makes them again. Header blocks and
// bodies are kept only where the sink asks for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/file/file_scan.hpp"

namespace quillmark {

class EventRecorder final : public ScanSink {
 public:
  // `target` is the sink the events are for: it is asked which bodies it
  // wants (from the recording thread: wants_body and wants_blocks must not
  // change state).
  explicit EventRecorder(const ScanSink& target) noexcept
      : target_(target), blocks_(target.wants_blocks()) {}

  bool wants_body(const RecordStart& record) const override { return target_.wants_body(record); }
  Status record_begin(const RecordStart& record) override;
  Status record_body(std::string_view piece) override;
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override;
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override;

  // From now on the events come with their true archive positions (the scan
  // was shifted); those before keep needing the shift that replay() is given.
  void mark_shifted() noexcept { shifted_from_ = events_.size(); }

  // Replays the events not replayed yet into `sink`, the archive positions of
  // those recorded before mark_shifted() moved on by `shift`, and `groups`
  // fed along (its closed groups go to the sink too). Stops after a record
  // that makes the sink pause (`paused` is then set; calling again goes on)
  // or at the sink's first failure.
  Status replay(ScanSink& sink, MemberGroups& groups, std::size_t shift, bool& paused);
  bool replayed() const noexcept { return next_ == events_.size(); }
  // Drops what was replayed, once all of it was; what comes after has true
  // positions.
  void forget_replayed() noexcept;
  // Bytes held.
  std::size_t size() const noexcept { return events_.size() * sizeof(Event) + texts_.size(); }

 private:
  enum class Kind : std::uint8_t { Begin, Body, End, Member };
  // Begin:  a = offset, b = body size, c = block's place in texts_, d = its size
  // Body:   c = the piece's place in texts_, d = its size
  // End:    a = offset, b = length, c = separator size
  // Member: a = compressed start, b = compressed end, c = end, d = open record
  //         (or kNone); it starts where the member before it ended (or at 0)
  struct Event {
    Kind kind;
    bool manifest;
    std::size_t a, b, c, d;
  };
  static constexpr std::size_t kNone = ~std::size_t{0};

  const ScanSink& target_;
  bool blocks_;
  std::vector<Event> events_;
  std::string texts_;
  std::size_t next_ = 0;                        // the first event not replayed
  std::size_t shifted_from_ = ~std::size_t{0};  // the first event with a true position
  std::optional<std::size_t> member_start_;     // where the next member replayed starts
};

}  // namespace quillmark
