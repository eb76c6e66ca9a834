// FileScan: one pass over an archive file, plain or gzip-compressed.
//
// The pass takes the input a window at a time (input_window.hpp), inflates
// each gzip member (member_inflation.hpp), frames the uncompressed bytes with
// the stream framer, so that verdict, messages and offsets are the module's
// on the whole uncompressed content, and hands what it finds to a ScanSink
// (scan_sink.hpp) through a SinkDelivery. Bodies a sink does not ask for are
// passed over unread where the input allows it (a seekable plain file). The
// pass runs in steps (run() with a budget of input bytes), so that a caller
// can show progress or take a batch of records between steps; it holds a few
// MiB besides what the sink keeps.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "record/file/input_window.hpp"
#include "record/file/member_inflation.hpp"
#include "record/file/pass.hpp"
#include "record/file/scan_sink.hpp"
#include "record/stream_framer.hpp"

namespace quillmark {

struct ScanOptions {
  std::optional<gzip::Inflater> inflater;  // nullopt: the fastest built
  std::optional<bool> compressed;          // nullopt: told by the first bytes
  // Whether zero bytes may follow the last gzip member (some writers pad).
  bool padding_allowed = true;
};

// What a scan of a part of a file (PartScan) adds.
struct PartOptions {
  // Where the part starts: its file position (for reports of gzip members)
  // and its position in the uncompressed archive (where the framer starts).
  std::size_t compressed_start = 0;
  std::size_t start = 0;
  // Stops at the first member boundary at or after this file position,
  // without ending the data there (a record may be open).
  std::optional<std::size_t> stop_at;
  std::size_t whole_room = 0;  // to inflate a whole member into at first
  bool sink_begun = false;     // the sink was told of the input already
};

class FileScan : public Pass {
 public:
  // `input` and `sink` must outlive the scan. Throws std::bad_alloc.
  FileScan(Input& input, ScanSink& sink, const ScanOptions& options = {})
      : FileScan(input, sink, options, PartOptions{}) {}
  ~FileScan() override;

  Status run(std::size_t budget = 0) override;
  bool interrupted() const noexcept override { return interrupted_; }
  bool done() const noexcept override { return next_ == nullptr; }
  bool compressed() const noexcept override { return compressed_; }
  std::size_t consumed() const noexcept override { return window_.position(); }
  std::size_t content_size() const noexcept override { return framer_.position(); }
  std::size_t records() const noexcept override { return delivery_.records(); }
  std::size_t manifest_records() const noexcept override { return delivery_.manifest_records(); }
  bool one_record_per_member() const noexcept override {
    return compressed_ && records() > 0 && delivery_.groups().one_record_each();
  }

 protected:
  FileScan(Input& input, ScanSink& sink, const ScanOptions& options, const PartOptions& part);

  // Whether it stopped at PartOptions::stop_at; the file position where it
  // stands, and whether the data so far ends between records there.
  bool stopped() const noexcept { return stopped_; }
  std::size_t position() const noexcept { return part_.compressed_start + window_.position(); }
  bool between_records() const noexcept { return framer_.between_records(); }
  // Moves the stop on (nullopt: to the end); a stopped scan then goes on.
  void extend(std::optional<std::size_t> stop_at) noexcept;
  // Moves every archive position on by `by`, for what is still to come: a
  // part of a file read ahead learns where in the archive it starts.
  void shift(std::size_t by) noexcept;
  const MemberGroups& groups() const noexcept { return delivery_.groups(); }
  // Lets go of the mapping and buffers of a scan that stopped until it goes
  // on (a part read ahead waits for the join with little held).
  void hibernate() noexcept;
  // The room a whole member is inflated into now (see member_inflation.hpp).
  std::size_t whole_room() const noexcept { return inflation_ ? inflation_->whole_room() : 0; }

 private:
  struct Visitor;
  struct Loop;

  Status detect();
  Status step_plain();
  Status begin_member();
  Status inflate_piece();
  Status end_member();
  Status end_of_members();
  Status finish();
  Status feed(std::string_view data);

  ScanOptions options_;
  PartOptions part_;
  InputWindow window_;
  std::unique_ptr<MemberInflation> inflation_;  // for gzip input
  StreamFramer framer_;
  SinkDelivery delivery_;
  std::unique_ptr<Visitor> visitor_;
  Status (FileScan::*next_)() = &FileScan::detect;  // the next step; null once done
  bool compressed_ = false;
  bool stopped_ = false;
  bool interrupted_ = false;
  std::optional<Error> error_;  // once failed, for good
  // The member being inflated piece by piece, and a framing error in it,
  // which is reported only at its end: the member may turn out damaged.
  MemberSpan member_;
  std::optional<Error> framing_error_;
  std::size_t padding_start_ = 0;  // where data after the last member begins
};

// A scan of a byte range of a gzip file that reads the range on its own: a
// part of a file for the parallel pass (parallel_scan.hpp), read ahead or
// scanned again, and a group of members that an append reads again.
class PartScan final : public FileScan {
 public:
  // A scan of the members of `file` from its archive position `from`, where
  // one starts, to `to`, the first at position `start` of the uncompressed
  // archive. Io error when the file cannot be looked at.
  static Result<std::unique_ptr<PartScan>> open(const FileInput& file, std::size_t from,
                                                std::size_t to, std::size_t start, ScanSink& sink,
                                                ScanOptions options, PartOptions part = {}) {
    Result<FileInput> range =
        FileInput::open(file.fd(), file.file_start() + from, file.file_start() + to);
    if (!range) return std::move(range).error();
    options.compressed = true;
    part.compressed_start = from;
    part.start = start;
    auto input = std::make_unique<FileInput>(std::move(range).value());
    return std::unique_ptr<PartScan>(new PartScan(std::move(input), sink, options, part));
  }

  using FileScan::between_records, FileScan::extend, FileScan::groups, FileScan::hibernate,
      FileScan::position, FileScan::shift, FileScan::stopped, FileScan::whole_room;

 private:
  // The base is made first, from the input this scan then owns.
  PartScan(std::unique_ptr<FileInput> input, ScanSink& sink, const ScanOptions& options,
           const PartOptions& part)
      : FileScan(*input, sink, options, part), input_(std::move(input)) {}

  std::unique_ptr<FileInput> input_;
};

}  // namespace quillmark
