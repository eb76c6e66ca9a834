#include "record/file/event_recorder.hpp"

#include <limits>

#include "record/scanner.hpp"
#include "record/text.hpp"

namespace quillmark {
namespace {

constexpr unsigned kManifest = 1u << 2;
constexpr unsigned kOpenRecord = 1u << 3;
constexpr unsigned kSeparatorShift = 4;  // three bits: a separator is 0 to 4 bytes

std::string_view separator_text(std::size_t size) noexcept {
  return size == 4 ? std::string_view("\r\n\r\n") : size == 2 ? std::string_view("\n\n") : "";
}

// A difference as an unsigned number small either way round (zigzag, modulo
// the size type's range): no order of positions is assumed, none is lost.
std::size_t zigzag(std::size_t value, std::size_t previous) noexcept {
  const std::size_t difference = value - previous;
  const std::size_t negative = difference >> (std::numeric_limits<std::size_t>::digits - 1);
  return (difference << 1) ^ (std::size_t{0} - negative);
}

std::size_t unzigzag(std::size_t coded, std::size_t previous) noexcept {
  return previous + ((coded >> 1) ^ (std::size_t{0} - (coded & 1)));
}

// Reads what EventRecorder::put wrote, from `events` at `at`.
std::size_t take(std::string_view events, std::size_t& at) noexcept {
  std::size_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(events[at++]);
    value |= static_cast<std::size_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return value;
  }
}

std::size_t take_difference(std::string_view events, std::size_t& at,
                            std::size_t& previous) noexcept {
  previous = unzigzag(take(events, at), previous);
  return previous;
}

}  // namespace

void EventRecorder::put_tag(Kind kind, unsigned flags) {
  events_.push_back(static_cast<char>(static_cast<unsigned>(kind) | flags));
}

void EventRecorder::put(std::size_t value) {
  while (value >= 0x80) {
    events_.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  events_.push_back(static_cast<char>(value));
}

void EventRecorder::put_difference(std::size_t value, std::size_t& previous) {
  put(zigzag(value, previous));
  previous = value;
}

void EventRecorder::mark_shifted() noexcept {
  shifted_from_ = events_.size();
  written_.restart_archive();
}

Status EventRecorder::record_begin(const RecordStart& record) {
  put_tag(Kind::Begin, record.manifest ? kManifest : 0);
  put_difference(record.offset, written_.offset);
  put(record.body_size);
  if (blocks_) {
    put(record.block.size());
    texts_.append(record.block);
  }
  return Ok{};
}

Status EventRecorder::record_body(std::string_view piece) {
  put_tag(Kind::Body, 0);
  put(piece.size());
  texts_.append(piece);
  return Ok{};
}

Status EventRecorder::record_end(std::size_t offset, std::size_t length,
                                 std::string_view separator) {
  put_tag(Kind::End, static_cast<unsigned>(separator.size()) << kSeparatorShift);
  put_difference(offset, written_.offset);
  put(length);
  return Ok{};
}

Status EventRecorder::member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
  put_tag(Kind::Member, open_record ? kOpenRecord : 0);
  put_difference(member.compressed_start, written_.compressed);
  put(member.compressed_end - member.compressed_start);
  written_.compressed = member.compressed_end;
  put_difference(member.end, written_.member_end);
  if (open_record) put(member.end - *open_record);
  return Ok{};
}

Status EventRecorder::replay(SinkDelivery& delivery, std::size_t shift) {
  const std::string_view events(events_);
  const std::string_view texts(texts_);
  if (!member_start_) member_start_ = shift;  // the part's start
  while (next_ < events.size() && !delivery.paused()) {
    if (next_ == shifted_from_) pass_true_positions();
    const std::size_t moved = shifting_ ? shift : 0;
    const auto tag = static_cast<unsigned char>(events[next_++]);
    Status status = Ok{};
    switch (static_cast<Kind>(tag & 3)) {
      case Kind::Begin: {
        const std::size_t offset = take_difference(events, next_, read_.offset) + moved;
        const std::size_t body_size = take(events, next_);
        const std::string_view block = texts.substr(next_text_, blocks_ ? take(events, next_) : 0);
        next_text_ += block.size();
        // The fields are split from the block again, as the framer split them
        // (without its terminator): cheaper than keeping them for every part
        // read ahead.
        replayed_fields_.clear();
        const auto field = [&](std::string_view name, std::string_view raw_value) {
          replayed_fields_.push_back(FieldPlace::in(block, name, trim_white_space(raw_value)));
        };
        if (blocks_) scan_detail::for_each_field(block.substr(0, block.size() - 4), field);
        status = delivery.record_begin(
            RecordStart{offset, block, body_size, (tag & kManifest) != 0, replayed_fields_});
        break;
      }
      case Kind::Body: {
        const std::size_t size = take(events, next_);
        status = delivery.record_body(texts.substr(next_text_, size));
        next_text_ += size;
        break;
      }
      case Kind::End: {
        const std::size_t offset = take_difference(events, next_, read_.offset) + moved;
        const std::size_t length = take(events, next_);
        status = delivery.record_end(offset, length, separator_text(tag >> kSeparatorShift));
        break;
      }
      case Kind::Member: {
        MemberSpan member;
        member.compressed_start = take_difference(events, next_, read_.compressed);
        member.compressed_end = member.compressed_start + take(events, next_);
        read_.compressed = member.compressed_end;
        member.start = *member_start_;
        member.end = take_difference(events, next_, read_.member_end) + moved;
        member_start_ = member.end;
        std::optional<std::size_t> open;
        if (tag & kOpenRecord) open = member.end - take(events, next_);
        status = delivery.member_end(member, open);
        break;
      }
    }
    if (!status) return status;
  }
  return Ok{};
}

void EventRecorder::pass_true_positions() noexcept {
  shifting_ = false;
  shifted_from_ = std::string::npos;
  read_.restart_archive();
}

void EventRecorder::forget_replayed() noexcept {
  if (next_ < events_.size()) return;
  if (next_ == shifted_from_) pass_true_positions();
  events_.clear();
  texts_.clear();
  next_ = 0;
  next_text_ = 0;
}

}  // namespace quillmark
