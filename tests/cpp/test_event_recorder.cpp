// The events of a part read ahead, kept as differences in a few bytes each,
// must replay exactly as they were made: for positions anywhere in 64 bits,
// in any order, with the true positions starting at any event, the fields of
// header blocks split again as the framer splits them, and replays paused and
// resumed, and forgotten in between.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "record/file/event_recorder.hpp"

namespace quillmark::testing {
namespace {

class Lines final : public ScanSink {
 public:
  explicit Lines(bool blocks, std::size_t pause_every = 0)
      : blocks_(blocks), pause_every_(pause_every) {}
  bool wants_blocks() const override { return blocks_; }
  Status record_begin(const RecordStart& record) override {
    std::string text(record.block);
    for (const FieldPlace& field : record.fields) {
      // Where each lies in the block, and what it reads.
      text += " " + std::to_string(field.name_at) + ":" +
              std::string(record.block.substr(field.name_at, field.name_size)) + "=" +
              std::to_string(field.value_at) + ":" +
              std::string(record.block.substr(field.value_at, field.value_size));
    }
    add("begin", record.offset, record.body_size, record.manifest, text);
    return Ok{};
  }
  Status record_body(std::string_view piece) override {
    add("body", piece.size(), 0, false, std::string(piece));
    return Ok{};
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override {
    add("end", offset, length, false, std::string(separator));
    ++records_;
    return Ok{};
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open) override {
    add("member", member.compressed_start, member.compressed_end, open.has_value(),
        std::to_string(member.start) + " " + std::to_string(member.end) + " " +
            std::to_string(open.value_or(0)));
    return Ok{};
  }
  bool pause() override { return pause_every_ != 0 && records_ % pause_every_ == 0; }

  std::vector<std::string> lines;

 private:
  void add(const char* kind, std::size_t a, std::size_t b, bool flag, const std::string& text) {
    lines.push_back(std::string(kind) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
                    (flag ? "1 " : "0 ") + text);
  }
  bool blocks_;
  std::size_t pause_every_;
  std::size_t records_ = 0;
};

// A header block of random lines, some without a colon, names and values
// with white space around them, some empty; its fields, trimmed as the framer
// trims them, go to `fields`.
std::string header_block(std::mt19937_64& random, std::vector<FieldPlace>& fields) {
  const auto word = [&](char c) { return std::string(random() % 6, c); };
  const auto space = [&] { return std::string(random() % 3, " \t"[random() % 2]); };
  std::string block = "WARC/1.1";
  for (int n = static_cast<int>(random() % 8); n > 0; --n) {
    block += "\r\n";
    if (random() % 5 == 0) {
      block += "no colon" + word('x');
      continue;
    }
    block += space();
    const std::string name = word('n');
    FieldPlace field{block.size(), name.size(), 0, 0};
    block += name + space();
    if (name.empty()) field.name_at = block.size();  // trimmed down to the colon
    block += ":" + space();
    const std::string value = word('v');
    field.value_at = block.size();
    field.value_size = value.size();
    block += value + space();
    if (value.empty()) field.value_at = block.size();  // trimmed down to the line's end
    fields.push_back(field);
  }
  return block + "\r\n\r\n";
}

// A position near `around`, or anywhere.
std::size_t position(std::mt19937_64& random, std::size_t around) {
  if (random() % 8 == 0) return random() >> (random() % 64);
  return around + random() % 5000 - std::min<std::size_t>(around, 1000);
}

TEST(EventRecorder, ReplaysExactlyWhatWasRecorded) {
  for (unsigned seed = 0; seed < 200; ++seed) {
    std::mt19937_64 random(seed);
    const bool blocks = seed % 2 == 0;
    const std::size_t shift = random() % 3 == 0 ? 0 : random() >> (random() % 64);
    Lines expected(blocks);
    Lines target(blocks, seed % 4);
    EventRecorder recorder(target);
    SinkDelivery delivery(target, 0, 0);
    delivery.begin(/*compressed=*/true, /*told=*/true);
    const std::size_t events = random() % 60;
    const std::size_t true_from = random() % (events + 1);
    std::size_t at = 0, member_start = shift;
    const auto replay = [&] {
      do {
        delivery.resume();
        ASSERT_TRUE(recorder.replay(delivery, shift));
      } while (delivery.paused());
    };
    for (std::size_t i = 0; i < events; ++i) {
      if (i == true_from) recorder.mark_shifted();
      const std::size_t moved = i < true_from ? shift : 0;
      at = position(random, at);
      const std::string text(random() % 40, static_cast<char>('a' + i % 26));
      switch (random() % 4) {
        case 0: {
          std::vector<FieldPlace> fields;
          const std::string block = header_block(random, fields);
          const RecordStart record{at, block, random() >> (random() % 64), random() % 2 == 0,
                                   fields};
          ASSERT_TRUE(recorder.record_begin(record));
          const std::vector<FieldPlace> kept = blocks ? fields : std::vector<FieldPlace>{};
          ASSERT_TRUE(expected.record_begin(
              {at + moved, blocks ? record.block : "", record.body_size, record.manifest, kept}));
          break;
        }
        case 1:
          ASSERT_TRUE(recorder.record_body(text));
          ASSERT_TRUE(expected.record_body(text));
          break;
        case 2: {
          const std::string_view separator = random() % 2 ? "\r\n\r\n" : "";
          const std::size_t length = random() >> (random() % 64);
          ASSERT_TRUE(recorder.record_end(at, length, separator));
          ASSERT_TRUE(expected.record_end(at + moved, length, separator));
          break;
        }
        default: {
          const std::size_t compressed = position(random, at);
          const MemberSpan member{compressed, compressed + random() % 100000, 0, at};
          const std::optional<std::size_t> open =
              random() % 2 ? std::optional<std::size_t>(at - random() % (at + 1)) : std::nullopt;
          ASSERT_TRUE(recorder.member_end(member, open));
          const MemberSpan seen{member.compressed_start, member.compressed_end, member_start,
                                at + moved};
          member_start = seen.end;
          ASSERT_TRUE(expected.member_end(
              seen, open ? std::optional<std::size_t>(*open + moved) : std::nullopt));
        }
      }
      // Now and then the join replays what is there so far, and forgets it.
      if (i >= true_from && random() % 5 == 0) {
        replay();
        recorder.forget_replayed();
      }
    }
    if (true_from == events) recorder.mark_shifted();
    replay();
    EXPECT_TRUE(recorder.replayed());
    ASSERT_EQ(target.lines, expected.lines) << "seed " << seed;
  }
}

TEST(EventRecorder, KeepsARecordWithItsMemberInAFewBytes) {
  const Lines target(false);
  EventRecorder recorder(target);
  std::size_t at = 1 << 30, compressed = std::size_t{1} << 40;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(recorder.record_begin({at, "", 120, false, {}}));
    ASSERT_TRUE(recorder.record_end(at, 300, "\r\n\r\n"));
    ASSERT_TRUE(recorder.member_end({compressed, compressed + 250, 0, at + 304}, std::nullopt));
    at += 304;
    compressed += 250;
  }
  EXPECT_LE(recorder.size(), 1000 * 16);
}

}  // namespace
}  // namespace quillmark::testing
