// Two sinks fed by one pass: what the pass finds goes to both, in order, and
// a body to the ones that asked for it. A command's own sink is the first; the
// second watches beside it (the digests of the input, the store of an old
// manifest record that an append removes).
#pragma once

#include "record/file/scan_sink.hpp"

namespace quillmark {

class SinkPair final : public ScanSink {
 public:
  SinkPair(ScanSink& first, ScanSink& second) noexcept : first_(first), second_(second) {}

  void begin(bool compressed) override {
    first_.begin(compressed);
    second_.begin(compressed);
  }
  bool wants_body(const RecordStart& record) const override {
    return first_.wants_body(record) || second_.wants_body(record);
  }
  bool wants_blocks() const override { return first_.wants_blocks() || second_.wants_blocks(); }
  bool keeps_bodies() const override { return first_.keeps_bodies() || second_.keeps_bodies(); }
  Status record_begin(const RecordStart& record) override {
    first_body_ = first_.wants_body(record);
    second_body_ = second_.wants_body(record);
    return both([&](ScanSink& sink) { return sink.record_begin(record); });
  }
  Status record_body(std::string_view piece) override {
    Status status = first_body_ ? first_.record_body(piece) : Status(Ok{});
    if (status && second_body_) status = second_.record_body(piece);
    return status;
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override {
    return both([&](ScanSink& sink) { return sink.record_end(offset, length, separator); });
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override {
    return both([&](ScanSink& sink) { return sink.member_end(member, open_record); });
  }
  Status group_closed(const MemberGroup& group) override {
    return both([&](ScanSink& sink) { return sink.group_closed(group); });
  }
  bool pause() override {
    const bool first = first_.pause();
    return second_.pause() || first;
  }

 private:
  template <class Call>
  Status both(Call call) {
    Status status = call(first_);
    return status ? call(second_) : status;
  }

  ScanSink& first_;
  ScanSink& second_;
  bool first_body_ = false;
  bool second_body_ = false;
};

}  // namespace quillmark
