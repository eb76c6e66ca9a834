// The sink of a listing: every record with its place, header block and, when
// asked for, its body, handed on in batches. For a gzip file a record also
// gets the place of its gzip member when it starts one (gzip_offset), and the
// compressed length up to the next record when that starts a member too
// (gzip_length): the range a reader can seek to and inflate alone. The length
// is known only once the next record starts (or the data ends), so the last
// record seen is held back until then.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record/file/scan_sink.hpp"

namespace quillmark {

struct ListedRecord {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t body_size = 0;
  bool manifest = false;
  std::optional<std::size_t> gzip_offset;
  std::optional<std::size_t> gzip_length;
  // In RecordListing::texts(): the header block, then the body when kept.
  std::size_t text_at = 0;
  std::size_t block_size = 0;
  bool has_body = false;
  // In RecordListing::fields(): the header fields.
  std::size_t field_at = 0;
  std::size_t field_count = 0;
};

class RecordListing final : public ScanSink {
 public:
  // A batch is full at `batch_records` records or `batch_bytes` of texts.
  RecordListing(bool bodies, std::size_t batch_records, std::size_t batch_bytes)
      : bodies_(bodies), batch_records_(batch_records), batch_bytes_(batch_bytes) {}

  void begin(bool compressed) override { compressed_ = compressed; }
  bool wants_body(const RecordStart&) const override { return bodies_; }
  bool keeps_bodies() const override { return bodies_; }
  Status record_begin(const RecordStart& record) override;
  Status record_body(std::string_view piece) override {
    texts_.append(piece);
    return Ok{};
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override;
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override;
  bool pause() override { return ready_.size() >= batch_records_ || texts_.size() >= batch_bytes_; }

  // The records whose every field is known, in archive order.
  std::span<const ListedRecord> ready() const noexcept { return ready_; }
  std::string_view block(const ListedRecord& record) const noexcept {
    return std::string_view(texts_).substr(record.text_at, record.block_size);
  }
  std::string_view body(const ListedRecord& record) const noexcept {
    return std::string_view(texts_).substr(record.text_at + record.block_size, record.body_size);
  }
  std::span<const FieldPlace> fields(const ListedRecord& record) const noexcept {
    return std::span<const FieldPlace>(fields_).subspan(record.field_at, record.field_count);
  }
  // Forgets the ready records.
  void take();
  // At the end of the data, or at a failure (`complete` false): the record
  // held back becomes ready, with its gzip length only when complete.
  void finish(bool complete);

 private:
  // The latest place where a member ends (and the next begins) outside a
  // header block: its position in the archive and the first file position
  // seen there (an empty member leaves the position as it was). A block that
  // spans members leaves the place where it began.
  struct Boundary {
    std::size_t at = 0;
    std::size_t compressed = 0;
  };
  std::optional<std::size_t> boundary_at(std::size_t offset) const noexcept {
    if (!compressed_ || boundary_.at != offset) return std::nullopt;
    return boundary_.compressed;
  }
  void release_held(std::optional<std::size_t> following);

  bool bodies_;
  std::size_t batch_records_;
  std::size_t batch_bytes_;
  bool compressed_ = false;
  Boundary boundary_;
  std::vector<ListedRecord> ready_;
  std::optional<ListedRecord> held_;  // complete, its gzip length not yet known
  ListedRecord current_;              // begun, not yet complete
  bool in_record_ = false;
  std::string texts_;
  std::vector<FieldPlace> fields_;
};

}  // namespace quillmark
