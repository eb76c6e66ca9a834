#include "record/file/event_recorder.hpp"

namespace quillmark {
namespace {

std::string_view separator_text(std::size_t size) noexcept {
  return size == 4 ? std::string_view("\r\n\r\n") : size == 2 ? std::string_view("\n\n") : "";
}

}  // namespace

Status EventRecorder::record_begin(const RecordStart& record) {
  const std::size_t at = texts_.size();
  if (blocks_) texts_.append(record.block);
  events_.push_back(Event{Kind::Begin, record.manifest, record.offset, record.body_size, at,
                          blocks_ ? record.block.size() : 0});
  return Ok{};
}

Status EventRecorder::record_body(std::string_view piece) {
  // The pieces of one body lie one after another: they become one event.
  if (!events_.empty() && events_.back().kind == Kind::Body) {
    events_.back().d += piece.size();
  } else {
    events_.push_back(Event{Kind::Body, false, 0, 0, texts_.size(), piece.size()});
  }
  texts_.append(piece);
  return Ok{};
}

Status EventRecorder::record_end(std::size_t offset, std::size_t length,
                                 std::string_view separator) {
  events_.push_back(Event{Kind::End, false, offset, length, separator.size(), 0});
  return Ok{};
}

Status EventRecorder::member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
  events_.push_back(Event{Kind::Member, false, member.compressed_start, member.compressed_end,
                          member.end, open_record.value_or(kNone)});
  return Ok{};
}

Status EventRecorder::replay(ScanSink& sink, MemberGroups& groups, std::size_t shift,
                             bool& paused) {
  paused = false;
  const std::string_view texts(texts_);
  if (!member_start_) member_start_ = shift;  // the part's start
  while (next_ < events_.size()) {
    const std::size_t moved = next_ < shifted_from_ ? shift : 0;
    const Event& event = events_[next_++];
    switch (event.kind) {
      case Kind::Begin: {
        groups.record_begin(event.manifest);
        const RecordStart record{event.a + moved, texts.substr(event.c, event.d), event.b,
                                 event.manifest};
        if (Status status = sink.record_begin(record); !status) return status;
        break;
      }
      case Kind::Body:
        if (Status status = sink.record_body(texts.substr(event.c, event.d)); !status) {
          return status;
        }
        break;
      case Kind::End: {
        const std::size_t offset = event.a + moved;
        if (Status status = sink.record_end(offset, event.b, separator_text(event.c)); !status) {
          return status;
        }
        if (std::optional<MemberGroup> group = groups.record_end(offset, event.b)) {
          if (Status status = sink.group_closed(*group); !status) return status;
        }
        if (sink.pause()) {
          paused = true;
          return Ok{};
        }
        break;
      }
      case Kind::Member: {
        const MemberSpan member{event.a, event.b, *member_start_, event.c + moved};
        member_start_ = member.end;
        const std::optional<std::size_t> open =
            event.d == kNone ? std::nullopt : std::optional<std::size_t>(event.d + moved);
        if (Status status = sink.member_end(member, open); !status) return status;
        if (std::optional<MemberGroup> group =
                groups.member_end(member.compressed_end, member.end, open)) {
          if (Status status = sink.group_closed(*group); !status) return status;
        }
        break;
      }
    }
  }
  return Ok{};
}

void EventRecorder::forget_replayed() noexcept {
  if (next_ < events_.size()) return;
  events_.clear();
  texts_.clear();
  next_ = 0;
  shifted_from_ = 0;
}

}  // namespace quillmark
