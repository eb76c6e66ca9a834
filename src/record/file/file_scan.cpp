#include "record/file/file_scan.hpp"

#include "record/file/gzip_header.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace quillmark {
namespace {

// Compressed input is read into a window of this size: a member that lies
// whole in it (all but the rarest) is inflated in one call.
constexpr std::size_t kWindow = std::size_t{4} << 20;
// A plain file is read (or, mapped, fed) this much at a time, so that the rest
// of a large body can be passed over unread and a listing's batches stay small.
constexpr std::size_t kPlainPiece = std::size_t{256} << 10;
// Bodies with at least this much left after a piece are passed over.
constexpr std::size_t kPassOverFrom = std::size_t{64} << 10;
// Before a member is begun, the window is topped up when less than this is
// left in it, so that a member rarely straddles its end.
constexpr std::size_t kTopUpBelow = std::size_t{256} << 10;
// How much of a gzip regular file is mapped at a time: enough that the
// mapping moves seldom, little enough to keep resident memory small.
constexpr std::size_t kMapWindow = std::size_t{16} << 20;
// A member is inflated whole when its output fits in the output buffer,
// which starts at kWholeOutput and grows to kWholeOutputMost the first time
// a member needs more: an attempt that runs out of room is wasted, so a
// buffer that fits the file's large members pays (on a crawl whose members
// of more than 4 MiB held half its bytes, inflating them twice cost a third
// more time). Larger members are inflated in pieces of kPiece, after a
// wasted attempt of 36 MiB in all for the first one (for a file of a single
// member of 1 GiB, 3% more time).
constexpr std::size_t kWholeOutput = std::size_t{4} << 20;
constexpr std::size_t kWholeOutputMost = std::size_t{32} << 20;
constexpr std::size_t kPiece = std::size_t{256} << 10;

std::string member_text(std::size_t offset) {
  return "gzip member at byte " + std::to_string(offset);
}

}  // namespace

struct FileScan::Visitor {
  FileScan& scan;
  ManifestWatch watch;

  void note(Status status) {
    if (!status && !scan.sink_error_) scan.sink_error_ = std::move(status).error();
  }

  void field(std::string_view name, std::string_view raw_value) { watch(name, raw_value); }

  void header(std::size_t offset, std::string_view block, std::size_t body_size) {
    const RecordStart record{offset, block, body_size, watch.is_manifest()};
    watch = ManifestWatch();
    ++scan.records_;
    if (record.manifest) ++scan.manifest_records_;
    if (scan.compressed_) scan.groups_.record_begin(record.manifest);
    scan.body_wanted_ = scan.sink_.wants_body(record);
    note(scan.sink_.record_begin(record));
  }

  void body(std::string_view piece) {
    if (scan.body_wanted_) note(scan.sink_.record_body(piece));
  }

  void end(std::size_t offset, std::size_t length, std::string_view separator) {
    scan.body_wanted_ = false;
    note(scan.sink_.record_end(offset, length, separator));
    if (scan.compressed_) {
      if (std::optional<MemberGroup> group = scan.groups_.record_end(offset, length)) {
        note(scan.sink_.group_closed(*group));
      }
    }
    if (scan.sink_.pause()) scan.paused_ = true;
  }
};

FileScan::FileScan(Input& input, ScanSink& sink, const ScanOptions& options)
    : input_(input),
      sink_(sink),
      options_(options),
      framer_(options.start),
      groups_(options.compressed_start, options.start),
      visitor_(new Visitor{*this, {}}),
      window_(new char[kWindow]),
      data_(window_.get()) {}

FileScan::~FileScan() = default;

std::size_t FileScan::consumed() const noexcept {
  return window_position_ + begin_;
}

Status FileScan::fail(Error error) {
  error_ = std::move(error);
  return *error_;
}

Status FileScan::run(std::size_t budget) {
  if (error_) return *error_;
  const std::size_t budget_end =
      budget == 0 ? std::numeric_limits<std::size_t>::max() : consumed() + budget;
  paused_ = false;
  interrupted_ = false;
  if (compressed_ && !output_) output_.reset(new char[output_size_]);  // after hibernate()
  if (!started_) {
    if (Status status = detect(); !status) return fail(std::move(status).error());
    if (interrupted_) return Ok{};
    started_ = true;
  }
  budget_end_ = budget_end;
  if (!mapped_) {
    loop(budget_end);
  } else if (!guard_mapped_reads(
                 mapping_,
                 [](void* self) {
                   FileScan& scan = *static_cast<FileScan*>(self);
                   scan.loop(scan.budget_end_);
                 },
                 this)) {
    // The file was cut short beneath the mapping while it was read.
    loop_status_ = Error::io(std::make_error_code(std::errc::io_error));
  }
  if (!loop_status_) return fail(std::move(loop_status_).error());
  return Ok{};
}

void FileScan::hibernate() noexcept {
  if (!mapped_) return;
  mapping_.unmap();
  window_position_ += begin_;
  begin_ = end_ = 0;
  data_ = nullptr;
  input_ended_ = false;
  output_.reset();
}

// The steps of run(). Nothing here may hold what needs destroying while it
// reads a mapping (see guard_mapped_reads): the outcome goes to loop_status_.
void FileScan::loop(std::size_t budget_end) {
  while (!done_ && !paused_ && !interrupted_ && consumed() < budget_end) {
    loop_status_ = compressed_ ? step_gzip() : step_plain();
    if (!loop_status_) return;
  }
}

Status FileScan::detect() {
  if (!refill(gzip::kMagic.size())) return refill_outcome();
  compressed_ =
      options_.compressed.value_or(gzip::starts_with_magic(std::string_view(data_, end_)));
  if (compressed_) {
    inflaters_ = gzip::make_member_inflaters(options_.inflater);
    output_size_ = std::clamp(options_.whole_output, kWholeOutput, kWholeOutputMost);
    output_.reset(new char[output_size_]);
  }
  // A regular file is read from a mapping of it, where the kernel allows.
  // (Where it does not, the file is read as any other.)
  mapped_ = input_.mappable_fd() >= 0 && input_.size() && map_at(window_position_ + begin_, 0);
  if (!options_.sink_begun) sink_.begin(compressed_);
  return Ok{};
}

// Moves what is left of the window to its start and reads more after it,
// until at least `at_least` bytes are there or the input ends.
bool FileScan::refill(std::size_t at_least) {
  if (mapped_) {
    Status status = map_at(window_position_ + begin_, at_least);
    if (!status) error_ = std::move(status).error();
    return !error_;
  }
  if (begin_ > 0) {
    std::memmove(window_.get(), data_ + begin_, end_ - begin_);
    window_position_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  const std::size_t limit = compressed_ ? kWindow : kPlainPiece;
  while (!input_ended_ && end_ < at_least && end_ < limit) {
    Result<std::size_t> got = input_.read(window_.get() + end_, limit - end_);
    if (!got) {
      if (got.error().io_error() == std::errc::interrupted) {
        interrupted_ = true;
      } else {
        error_ = std::move(got).error();
      }
      return false;
    }
    if (got.value() == 0) input_ended_ = true;
    end_ += got.value();
  }
  return true;
}

// Maps the input from `position` on, at least `wanted` bytes of it where the
// input has them; an Io error when the kernel refuses.
Status FileScan::map_at(std::size_t position, std::size_t wanted) {
  const std::size_t size = *input_.size();
  const std::size_t length = std::min(std::max(kMapWindow, wanted), size - position);
  if (Status status = mapping_.map(input_.mappable_fd(), input_.file_start() + position, length);
      !status) {
    return status;
  }
  data_ = mapping_.data();
  window_position_ = position;
  begin_ = 0;
  end_ = length;
  input_ended_ = position + length == size;
  return Ok{};
}

Status FileScan::feed(std::string_view data) {
  Status status = framer_.feed(data, *visitor_);
  if (!status) return status;
  if (sink_error_) return *sink_error_;
  return Ok{};
}

Status FileScan::finish() {
  done_ = true;
  if (Status status = framer_.finish(*visitor_); !status) return status;
  if (sink_error_) return *sink_error_;
  if (compressed_) {
    if (std::optional<MemberGroup> group = groups_.finish()) {
      if (Status status = sink_.group_closed(*group); !status) return status;
    }
  }
  return Ok{};
}

Status FileScan::step_plain() {
  if (begin_ == end_) {
    if (!refill()) return refill_outcome();
    if (begin_ == end_) return finish();
  }
  const std::string_view piece(data_ + begin_, std::min(end_ - begin_, kPlainPiece));
  begin_ += piece.size();
  if (Status status = feed(piece); !status) return status;
  std::size_t left = framer_.body_remaining();
  if (!body_wanted_ && left >= kPassOverFrom && input_.seekable()) {
    // What lies in the mapped window is passed over there, the rest beyond it.
    const std::size_t here = std::min(left, end_ - begin_);
    begin_ += here;
    left -= here;
    const std::size_t beyond =
        mapped_ ? std::min(left, *input_.size() - consumed()) : input_.skip(left);
    framer_.skip_body(here + beyond);
    window_position_ += beyond;
  }
  return Ok{};
}

Status FileScan::step_gzip() {
  if (in_padding_) return end_of_members();
  if (!in_member_) return begin_member();
  return inflate_piece();
}

Status FileScan::begin_member() {
  if (options_.stop_at && file_position(begin_) >= *options_.stop_at) {
    stopped_ = done_ = true;
    return Ok{};
  }
  if (end_ - begin_ < kTopUpBelow && !input_ended_) {
    if (!refill(kTopUpBelow)) return refill_outcome();
  }
  if (begin_ == end_) return finish();
  const std::string_view rest(data_ + begin_, end_ - begin_);
  if (!gzip::starts_with_magic(rest)) return end_of_members();

  member_ = MemberSpan{file_position(begin_), 0, framer_.position(), 0};
  const bool uncommon = gzip::needs_checked_inflater(rest);
  if (inflaters_.whole && !uncommon) {
    std::size_t used = 0, made = 0;
    switch (inflaters_.whole->inflate(rest, output_.get(), output_size_, used, made)) {
      case gzip::WholeMemberInflater::Outcome::Done:
        begin_ += used;
        if (Status status = feed(std::string_view(output_.get(), made)); !status) return status;
        return end_member();
      case gzip::WholeMemberInflater::Outcome::Failed:
        // Perhaps only cut off by the window's end: then try again on a full one.
        if (!input_ended_ && (begin_ > 0 || end_ < kWindow)) {
          refill(kWindow);
          return refill_outcome();
        }
        break;
      case gzip::WholeMemberInflater::Outcome::NoRoom:
        if (output_size_ < kWholeOutputMost) {  // a larger buffer, and again
          output_size_ = kWholeOutputMost;
          output_.reset(new char[output_size_]);
          return Ok{};
        }
        break;
    }
  }
  in_member_ = true;
  member_inflater_ = uncommon ? inflaters_.checked.get() : inflaters_.streaming.get();
  member_inflater_->begin_member();
  return Ok{};
}

Status FileScan::inflate_piece() {
  if (begin_ == end_) {
    if (input_ended_) return member_failed(std::nullopt);
    if (!refill()) return refill_outcome();
    if (begin_ == end_) return member_failed(std::nullopt);
  }
  const std::string_view rest(data_ + begin_, end_ - begin_);
  const gzip::InflateStep step = member_inflater_->inflate(rest, output_.get(), kPiece);
  begin_ += step.consumed;
  if (step.produced > 0 && !framing_error_) {
    // What a member holds is only certain once its trailer is checked: a
    // framing error in it waits for the end of the member, and a damaged
    // member is reported as such, whichever library inflates it and however
    // much of it the library hands out before it finds the damage.
    Status status = framer_.feed(std::string_view(output_.get(), step.produced), *visitor_);
    if (sink_error_) return *sink_error_;
    if (!status) framing_error_ = std::move(status).error();
  }
  switch (step.status) {
    case gzip::InflateStep::Status::MemberEnd:
      in_member_ = false;
      if (framing_error_) return *framing_error_;
      return end_member();
    case gzip::InflateStep::Status::Corrupt:
      return member_failed(step.detail);
    case gzip::InflateStep::Status::NeedInput:
    case gzip::InflateStep::Status::OutputFull:
      break;
  }
  return Ok{};
}

// The member cannot be inflated: it is corrupt (`corrupt`, why) or the input
// ends inside it. Where both hold, the libraries do not all say the same:
// ISA-L checks a trailer, and the header of a block, only once it has the
// whole of it, and refuses the lengths of a stored block from the first
// bytes that disagree, where zlib waits for all four. zlib's word is given:
// it reads the member again from its start, as long as the window holds
// that start and everything after it to the end of the input.
Status FileScan::member_failed(std::optional<std::string_view> corrupt) {
  const std::size_t start = member_.compressed_start - options_.compressed_start;
  gzip::StreamingInflater& zlib = *inflaters_.checked;
  if (member_inflater_ != &zlib && input_ended_ && start >= window_position_) {
    std::string_view rest(data_ + (start - window_position_), end_ - (start - window_position_));
    zlib.begin_member();
    gzip::InflateStep step;
    do {
      step = zlib.inflate(rest, output_.get(), kPiece);
      rest.remove_prefix(step.consumed);
    } while (step.status == gzip::InflateStep::Status::OutputFull);
    // A member that zlib reads whole keeps the word of the library.
    if (step.status == gzip::InflateStep::Status::Corrupt) corrupt = step.detail;
    if (step.status == gzip::InflateStep::Status::NeedInput) corrupt.reset();
  }
  const std::string member = member_text(member_.compressed_start);
  if (!corrupt) return Error::gzip(member + " is truncated", member_.compressed_start);
  return Error::gzip(member + " is corrupt (" + std::string(*corrupt) + ")",
                     member_.compressed_start);
}

Status FileScan::end_member() {
  member_.compressed_end = file_position(begin_);
  member_.end = framer_.position();
  const std::optional<std::size_t> open = framer_.open_record();
  if (Status status = sink_.member_end(member_, open); !status) return status;
  if (std::optional<MemberGroup> group =
          groups_.member_end(member_.compressed_end, member_.end, open)) {
    if (Status status = sink_.group_closed(*group); !status) return status;
  }
  return Ok{};
}

// Data that is not a gzip member follows the last one: zero bytes, which some
// writers pad with, end the file; anything else is an error.
Status FileScan::end_of_members() {
  if (!in_padding_) padding_start_ = file_position(begin_);
  in_padding_ = true;
  const Error error =
      Error::gzip("unexpected data after gzip member at byte " + std::to_string(padding_start_),
                  padding_start_);
  if (!options_.padding_allowed) return error;
  for (;;) {
    const char* first = data_ + begin_;
    const char* last = data_ + end_;
    if (std::find_if(first, last, [](char c) { return c != '\0'; }) != last) return error;
    begin_ = end_;
    if (!refill()) return refill_outcome();
    if (begin_ == end_) return finish();
  }
}

}  // namespace quillmark
