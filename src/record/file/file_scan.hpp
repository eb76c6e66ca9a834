// FileScan: one pass over an archive file, plain or gzip-compressed.
//
// The pass reads the file in large pieces, inflates each gzip member (see
// gzip_inflater.hpp), frames the uncompressed bytes with the stream framer
// (so that the verdict, the messages and the offsets are those of the module
// on the whole uncompressed content), joins members into groups (see
// member_groups.hpp) and hands what it finds to a ScanSink: the records, the
// bodies the sink asks for, and the members and groups of a gzip file. What
// a command makes of that (a summary, a listing, an appended archive) is the
// sink's business.
//
// Bodies a sink does not ask for are passed over without being read where the
// input allows it (a regular file that is not compressed). The pass runs in
// steps (run() with a budget of input bytes), so that a caller can show
// progress or take a batch of records between steps; it never holds more
// than a few MiB besides what the sink keeps.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "record/file/gzip_inflater.hpp"
#include "record/file/input.hpp"
#include "record/file/mapped_file.hpp"
#include "record/file/member_groups.hpp"
#include "record/file/pass.hpp"
#include "record/manifest.hpp"
#include "record/stream_framer.hpp"

namespace quillmark {

// A record whose header block has been framed.
struct RecordStart {
  std::size_t offset = 0;
  std::string_view block;  // version mark to terminator; valid during the call only
  std::size_t body_size = 0;
  bool manifest = false;
};

// A gzip member: where it lies in the file and in the uncompressed archive.
struct MemberSpan {
  std::size_t compressed_start = 0;
  std::size_t compressed_end = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

// What a pass does with what the scan finds; by default, nothing. A failing
// Status (an output that cannot be written) ends the pass with that error.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // Before anything else, once the scan knows whether the input is gzip.
  virtual void begin(bool compressed) { (void)compressed; }
  // Whether record_body() should see this record's body. Asked from the
  // threads of a parallel pass too, before the record's place in the archive
  // is known: it must not change the sink's state, nor look at the offset.
  virtual bool wants_body(const RecordStart& record) const {
    (void)record;
    return false;
  }
  // Whether record_begin() looks at the header block (a parallel pass keeps
  // the blocks of parts read ahead only for a sink that does).
  virtual bool wants_blocks() const { return true; }
  // Whether the sink takes bodies in bulk (a parallel pass reads smaller
  // parts ahead for such a sink, to hold less).
  virtual bool keeps_bodies() const { return false; }
  virtual Status record_begin(const RecordStart& record) {
    (void)record;
    return Ok{};
  }
  // A piece of a wanted body, valid during the call only.
  virtual Status record_body(std::string_view piece) {
    (void)piece;
    return Ok{};
  }
  // `separator` is "", "\r\n\r\n" or "\n\n".
  virtual Status record_end(std::size_t offset, std::size_t length, std::string_view separator) {
    (void)offset;
    (void)length;
    (void)separator;
    return Ok{};
  }
  // `open_record`: the record the member's end leaves open, if any.
  virtual Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
    (void)member;
    (void)open_record;
    return Ok{};
  }
  virtual Status group_closed(const MemberGroup& group) {
    (void)group;
    return Ok{};
  }
  // Asked after each record: whether run() should return to its caller now.
  virtual bool pause() { return false; }
};

struct ScanOptions {
  // The inflater library; nullopt: the fastest built.
  std::optional<gzip::Inflater> inflater;
  // Whether the input is gzip; nullopt: told by its first bytes.
  std::optional<bool> compressed;
  // Where the input starts: its file position (for reports of gzip members)
  // and its position in the uncompressed archive (where the framer starts).
  std::size_t compressed_start = 0;
  std::size_t start = 0;
  // Whether zero bytes may follow the last gzip member (some writers pad).
  bool padding_allowed = true;
  // Whether the sink was already told of the input (ScanSink::begin), by the
  // pass this one takes over from.
  bool sink_begun = false;
  // A pass over part of a gzip file stops at the first member boundary at or
  // after this file position, without ending the data there (the framer is
  // not finished, and may hold a record open).
  std::optional<std::size_t> stop_at;
  // The room to inflate a whole member into at first (0: the default). The
  // passes over the parts of one file start with what the parts before them
  // found they need (see whole_output()).
  std::size_t whole_output = 0;
};

class FileScan final : public Pass {
 public:
  // `input` and `sink` must outlive the scan. Throws std::bad_alloc.
  FileScan(Input& input, ScanSink& sink, const ScanOptions& options = {});
  ~FileScan() override;
  FileScan(const FileScan&) = delete;
  FileScan& operator=(const FileScan&) = delete;

  // Goes on until the end of the input, until the sink pauses, until about
  // `budget` more input bytes are consumed (0: no limit), or until a signal
  // interrupts a read (interrupted() then tells; calling again goes on).
  // Fails with the framer's Error, a gzip Error (ErrorKind::Gzip), an Io
  // error, or the sink's error; with the same one on every call after.
  Status run(std::size_t budget = 0) override;
  bool interrupted() const noexcept override { return interrupted_; }

  bool done() const noexcept override { return done_; }
  bool compressed() const noexcept override { return compressed_; }
  std::size_t consumed() const noexcept override;
  std::size_t content_size() const noexcept override { return framer_.position(); }
  std::size_t records() const noexcept override { return records_; }
  std::size_t manifest_records() const noexcept override { return manifest_records_; }
  bool one_record_per_member() const noexcept override {
    return compressed_ && records_ > 0 && groups_.one_record_each();
  }

  // For a pass over part of a file (ScanOptions::stop_at): whether it is done
  // because it reached its stop, the file position where it stands, and
  // whether the data so far ends between records there.
  bool stopped() const noexcept { return stopped_; }
  std::size_t position() const noexcept { return file_position(begin_); }
  bool between_records() const noexcept { return framer_.between_records(); }
  // Moves every archive position on by `by`, for what is still to come: a
  // part of a file read ahead learns where in the archive it starts.
  void shift(std::size_t by) noexcept {
    framer_.shift(by);
    groups_.shift(by);
    member_.start += by;
    member_.end += by;
  }
  const MemberGroups& groups() const noexcept { return groups_; }
  // Lets go of the mapping and the buffers of a pass that stopped, until it
  // goes on (a part read ahead waits for the join with little held).
  void hibernate() noexcept;
  // The room a whole member is inflated into now: more than at first once a
  // member needed more.
  std::size_t whole_output() const noexcept { return output_size_; }
  // Moves the stop further on (nullopt: the end of the input); a stopped pass
  // then goes on from where it stands.
  void extend(std::optional<std::size_t> stop_at) noexcept {
    options_.stop_at = stop_at;
    if (stopped_) done_ = stopped_ = false;
  }

 private:
  struct Visitor;

  Status fail(Error error);
  void loop(std::size_t budget_end);
  Status detect();
  Status map_at(std::size_t position, std::size_t wanted);
  Status step_plain();
  Status step_gzip();
  Status begin_member();
  Status inflate_piece();
  Status member_failed(std::optional<std::string_view> corrupt);
  Status end_member();
  Status end_of_members();
  Status finish();
  Status feed(std::string_view data);
  // Reads more input; false when the step must end here: a failure (error_
  // is set) or an interrupted read.
  bool refill(std::size_t at_least = 1);
  Status refill_outcome() const { return error_ ? Status(*error_) : Status(Ok{}); }
  std::size_t file_position(std::size_t window_index) const noexcept {
    return options_.compressed_start + window_position_ + window_index;
  }

  Input& input_;
  ScanSink& sink_;
  ScanOptions options_;
  gzip::MemberInflaters inflaters_;
  StreamFramer framer_;
  MemberGroups groups_;
  std::unique_ptr<Visitor> visitor_;

  // Input bytes: data_[begin_, end_) not yet used; data_[0] lies at input
  // position window_position_. data_ is window_, into which the input is
  // read, or, for a gzip regular file, a window of the file mapped.
  std::unique_ptr<char[]> window_;
  MappedFile mapping_;
  bool mapped_ = false;
  const char* data_ = nullptr;
  Status loop_status_ = Ok{};
  std::size_t budget_end_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t window_position_ = 0;
  bool input_ended_ = false;
  // Uncompressed bytes of the member being inflated.
  std::unique_ptr<char[]> output_;
  std::size_t output_size_ = 0;

  bool started_ = false;
  bool compressed_ = false;
  bool done_ = false;
  bool stopped_ = false;
  bool paused_ = false;
  bool interrupted_ = false;
  bool body_wanted_ = false;
  std::optional<Error> error_;
  std::optional<Error> sink_error_;
  // A framing error in the member being inflated, reported at its end.
  std::optional<Error> framing_error_;

  // The member being inflated piece by piece, if any.
  bool in_member_ = false;
  bool in_padding_ = false;  // zero bytes after the last member
  std::size_t padding_start_ = 0;
  gzip::StreamingInflater* member_inflater_ = nullptr;
  MemberSpan member_;

  std::size_t records_ = 0;
  std::size_t manifest_records_ = 0;
};

}  // namespace quillmark
