// What the file_scan target hands the pass over files and takes from it: a
// file in memory that gives out short reads, and a sink that keeps
// everything the pass reports (checking its order as it comes) and passes it
// on to a RecordListing, whose batches it copies out between runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/input.hpp"
#include "record/file/record_listing.hpp"

namespace quillmark::fuzz {

// The file in memory, handed out at most `step` bytes per read.
class MemoryInput final : public Input {
 public:
  MemoryInput(std::string_view data, std::size_t step, bool seekable)
      : data_(data), step_(step), seekable_(seekable) {}

  Result<std::size_t> read(char* out, std::size_t size) override {
    const std::size_t n = std::min({size, step_, data_.size() - position_});
    data_.copy(out, n, position_);
    position_ += n;
    return n;
  }
  bool seekable() const noexcept override { return seekable_; }
  std::size_t skip(std::size_t size) noexcept override {
    if (!seekable_) return 0;
    const std::size_t n = std::min(size, data_.size() - position_);
    position_ += n;
    return n;
  }
  Result<std::size_t> read_at(std::size_t offset, char* out, std::size_t size) override {
    if (!seekable_ || offset >= data_.size()) return std::size_t{0};
    return data_.copy(out, size, offset);
  }
  std::optional<std::size_t> size() const noexcept override {
    if (!seekable_) return std::nullopt;
    return data_.size();
  }

 private:
  std::string_view data_;
  std::size_t step_;
  bool seekable_;
  std::size_t position_ = 0;
};

struct SeenRecord {
  std::size_t offset = 0, length = 0, body_size = 0;
  std::string block, body, separator;
  bool manifest = false, body_wanted = false, ended = false;
};

struct ListedCopy {
  ListedRecord record;
  std::string block, body;
  std::vector<std::pair<std::string, std::string>> fields;  // names and values
};

// Everything the scan reports, checked for order as it comes, and handed on
// to a RecordListing whose batches are copied out between runs.
class Observer final : public ScanSink {
 public:
  Observer(bool bodies, std::size_t batch_records, std::size_t batch_bytes)
      : listing_(bodies, batch_records, batch_bytes) {}

  void begin(bool compressed) override {
    QM_REQUIRE(!begun);
    begun = true;
    compressed_ = compressed;
    listing_.begin(compressed);
  }
  bool wants_body(const RecordStart& record) const override {
    QM_REQUIRE(begun);
    return listing_.wants_body(record);
  }
  Status record_begin(const RecordStart& record) override {
    QM_REQUIRE(begun && (records.empty() || records.back().ended));
    SeenRecord seen;
    seen.offset = record.offset;
    seen.block = record.block;
    seen.body_size = record.body_size;
    seen.manifest = record.manifest;
    seen.body_wanted = listing_.wants_body(record);
    records.push_back(std::move(seen));
    return listing_.record_begin(record);
  }
  Status record_body(std::string_view piece) override {
    QM_REQUIRE(!records.empty() && !records.back().ended && records.back().body_wanted);
    SeenRecord& open = records.back();
    QM_REQUIRE(!piece.empty() && piece.size() <= open.body_size - open.body.size());
    open.body.append(piece);
    return listing_.record_body(piece);
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override {
    QM_REQUIRE(!records.empty() && !records.back().ended && records.back().offset == offset);
    SeenRecord& open = records.back();
    open.length = length;
    open.separator = separator;
    open.ended = true;
    ++ended;
    return listing_.record_end(offset, length, separator);
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override {
    QM_REQUIRE(compressed_);
    members.push_back(member);
    open_at_member_end.push_back(open_record);
    return listing_.member_end(member, open_record);
  }
  Status group_closed(const MemberGroup& group) override {
    QM_REQUIRE(compressed_);
    groups.push_back(group);
    return listing_.group_closed(group);
  }
  bool pause() override { return listing_.pause(); }

  void take_listing() {
    for (const ListedRecord& record : listing_.ready()) {
      const std::string_view block = listing_.block(record);
      listed.push_back(ListedCopy{record,
                                  std::string(block),
                                  record.has_body ? std::string(listing_.body(record)) : "",
                                  {}});
      for (const FieldPlace& field : listing_.fields(record)) {
        listed.back().fields.emplace_back(block.substr(field.name_at, field.name_size),
                                          block.substr(field.value_at, field.value_size));
      }
    }
    listing_.take();
  }
  void finish_listing(bool complete) {
    listing_.finish(complete);
    take_listing();
  }

  bool begun = false;
  std::size_t ended = 0;
  std::vector<SeenRecord> records;
  std::vector<MemberSpan> members;
  std::vector<std::optional<std::size_t>> open_at_member_end;
  std::vector<MemberGroup> groups;
  std::vector<ListedCopy> listed;

 private:
  RecordListing listing_;
  bool compressed_ = false;
};

}  // namespace quillmark::fuzz
