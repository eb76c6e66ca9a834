#include "record/file/file_scan.hpp"

#include <limits>
#include <string>
#include <vector>

#include "record/file/gzip_header.hpp"
#include "record/manifest.hpp"
#include "record/record_index.hpp"
#include "record/text.hpp"

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
// The window is topped up before a member when less than this is left.
constexpr std::size_t kTopUpBelow = std::size_t{256} << 10;

}  // namespace

// What the framer finds, handed on. The sink's first failure waits here until
// the framer returns (its visitor cannot fail); nothing reaches the sink after.
struct FileScan::Visitor {
  SinkDelivery& delivery;
  bool keep_fields;
  ManifestWatch watch;
  std::vector<FieldView> fields;  // values not trimmed yet
  std::vector<FieldPlace> places;
  bool body_wanted = false;
  std::optional<Error> failure;

  void note(Status&& status) {
    if (!status) failure = std::move(status).error();
  }
  void field(std::string_view name, std::string_view raw_value) {
    watch(name, raw_value);
    if (keep_fields) fields.push_back(FieldView{name, raw_value});
  }
  void header(std::size_t offset, std::string_view block, std::size_t body_size) {
    if (keep_fields) {
      places.clear();
      for (const FieldView& f : fields) {
        places.push_back(FieldPlace::in(block, f.name, trim_white_space(f.value)));
      }
      fields.clear();
    }
    const RecordStart record{offset, block, body_size, watch.is_manifest(), places};
    watch = ManifestWatch();
    if (!failure) {
      body_wanted = delivery.sink().wants_body(record);
      note(delivery.record_begin(record));
    }
  }
  void body(std::string_view piece) {
    if (body_wanted && !failure) note(delivery.record_body(piece));
  }
  void end(std::size_t offset, std::size_t length, std::string_view separator) {
    body_wanted = false;
    if (!failure) note(delivery.record_end(offset, length, separator));
  }
};

// The steps of one run(). Nothing here may hold what needs destroying while
// it reads a mapping (see InputWindow::guarded): the outcome is kept in `status`.
struct FileScan::Loop {
  FileScan& scan;
  std::size_t budget_end;
  Status status = Ok{};

  static void go(void* self) {
    Loop& loop = *static_cast<Loop*>(self);
    FileScan& scan = loop.scan;
    while (!scan.done() && !scan.delivery_.paused() && scan.consumed() < loop.budget_end) {
      loop.status = (scan.*scan.next_)();
      if (!loop.status) return;
    }
  }
};

FileScan::FileScan(Input& input, ScanSink& sink, const ScanOptions& options,
                   const PartOptions& part)
    : options_(options),
      part_(part),
      window_(input, kWindow, kPlainPiece),
      framer_(part.start),
      delivery_(sink, part.compressed_start, part.start),
      visitor_(new Visitor{delivery_, sink.wants_blocks(), {}, {}, {}, false, {}}) {}

FileScan::~FileScan() = default;

Status FileScan::run(std::size_t budget) {
  if (error_) return *error_;
  interrupted_ = false;
  delivery_.resume();
  // The first step reads no mapping: it decides whether there is one.
  Status status = next_ == &FileScan::detect ? detect() : Status(Ok{});
  if (status) {
    Loop loop{*this, budget == 0 ? std::numeric_limits<std::size_t>::max() : consumed() + budget};
    if (!window_.guarded(Loop::go, &loop)) {  // the file was cut short beneath the mapping
      loop.status = Error::io(std::make_error_code(std::errc::io_error));
    }
    status = std::move(loop.status);
  }
  // A read a signal cut short: the caller handles the signal, then goes on.
  interrupted_ = !status && status.error().io_error() == std::errc::interrupted;
  if (status || interrupted_) return Ok{};
  error_ = std::move(status).error();
  return *error_;
}

Status FileScan::detect() {
  if (Status status = window_.refill(gzip::kMagic.size()); !status) return status;
  compressed_ = options_.compressed.value_or(gzip::starts_with_magic(window_.data()));
  if (compressed_) {
    inflation_ = std::make_unique<MemberInflation>(options_.inflater, part_.whole_room);
    window_.limit_reads(kWindow);
  }
  window_.try_mapping();
  delivery_.begin(compressed_, part_.sink_begun);
  next_ = compressed_ ? &FileScan::begin_member : &FileScan::step_plain;
  return Ok{};
}

void FileScan::extend(std::optional<std::size_t> stop_at) noexcept {
  part_.stop_at = stop_at;
  if (stopped_) {
    stopped_ = false;
    next_ = &FileScan::begin_member;
  }
}

void FileScan::shift(std::size_t by) noexcept {
  framer_.shift(by);
  delivery_.groups().shift(by);
  member_.start += by;
  member_.end += by;
}

void FileScan::hibernate() noexcept {
  // A buffer holds what was read: it stays.
  if (window_.release() && inflation_) inflation_->release();
}

Status FileScan::feed(std::string_view data) {
  Status status = framer_.feed(data, *visitor_);
  if (!status) return status;
  if (visitor_->failure) return *visitor_->failure;
  return Ok{};
}

Status FileScan::finish() {
  next_ = nullptr;
  if (Status status = framer_.finish(*visitor_); !status) return status;
  if (visitor_->failure) return *visitor_->failure;
  return delivery_.finish();
}

Status FileScan::step_plain() {
  if (window_.data().empty()) {
    if (Status status = window_.refill(); !status) return status;
    if (window_.data().empty()) return finish();
  }
  const std::string_view piece = window_.data().substr(0, kPlainPiece);
  window_.consume(piece.size());
  if (Status status = feed(piece); !status) return status;
  if (!visitor_->body_wanted && framer_.body_remaining() >= kPassOverFrom &&
      window_.can_pass_over()) {
    framer_.skip_body(window_.pass_over(framer_.body_remaining()));
  }
  return Ok{};
}

Status FileScan::begin_member() {
  if (part_.stop_at && position() >= *part_.stop_at) {
    stopped_ = true;
    next_ = nullptr;
    return Ok{};
  }
  if (window_.data().size() < kTopUpBelow && !window_.ended()) {
    if (Status status = window_.refill(kTopUpBelow); !status) return status;
  }
  const std::string_view rest = window_.data();
  if (rest.empty()) return finish();
  if (!gzip::starts_with_magic(rest)) return end_of_members();

  member_ = MemberSpan{position(), 0, framer_.position(), 0};
  std::size_t used = 0;
  std::string_view output;
  switch (inflation_->start(rest, window_.can_widen(), used, output)) {
    case MemberInflation::Start::Whole:
      window_.consume(used);
      if (Status status = feed(output); !status) return status;
      return end_member();
    case MemberInflation::Start::MoreInput:
      return window_.refill(kWindow);
    case MemberInflation::Start::Again:
      break;
    case MemberInflation::Start::Pieces:
      next_ = &FileScan::inflate_piece;
      break;
  }
  return Ok{};
}

Status FileScan::inflate_piece() {
  const std::size_t start = member_.compressed_start - part_.compressed_start;
  if (window_.data().empty() && !window_.ended()) {
    if (Status status = window_.refill(); !status) return status;
  }
  if (window_.data().empty()) {  // the input ends inside the member
    return inflation_->failure(member_.compressed_start, std::nullopt, window_.since(start));
  }
  const gzip::InflateStep step = inflation_->inflate(window_.data());
  window_.consume(step.consumed);
  if (step.produced > 0 && !framing_error_) {
    // What a member holds is only certain once its trailer is checked: a
    // framing error in it waits for the end of the member, and a damaged
    // member is reported as such, whichever library inflates it and however
    // much of it the library hands out before it finds the damage.
    Status status = framer_.feed(inflation_->output(step), *visitor_);
    if (visitor_->failure) return *visitor_->failure;
    if (!status) framing_error_ = std::move(status).error();
  }
  switch (step.status) {
    case gzip::InflateStep::Status::MemberEnd:
      next_ = &FileScan::begin_member;
      if (framing_error_) return *framing_error_;
      return end_member();
    case gzip::InflateStep::Status::Corrupt:
      return inflation_->failure(member_.compressed_start, step.detail,
                                 window_.ended() ? window_.since(start) : std::nullopt);
    case gzip::InflateStep::Status::NeedInput:
    case gzip::InflateStep::Status::OutputFull:
      break;
  }
  return Ok{};
}

Status FileScan::end_member() {
  member_.compressed_end = position();
  member_.end = framer_.position();
  return delivery_.member_end(member_, framer_.open_record());
}

// Data that is not a gzip member follows the last one: zero bytes, which some
// writers pad with, end the file; anything else is an error.
Status FileScan::end_of_members() {
  if (next_ != &FileScan::end_of_members) padding_start_ = position();
  next_ = &FileScan::end_of_members;
  for (;;) {
    const std::string_view rest = window_.data();
    if (!options_.padding_allowed || rest.find_first_not_of('\0') != std::string_view::npos) {
      return Error::gzip(
          "unexpected data after gzip member at byte " + std::to_string(padding_start_),
          padding_start_);
    }
    window_.consume(rest.size());
    if (Status status = window_.refill(); !status) return status;
    if (window_.data().empty()) return finish();
  }
}

}  // namespace quillmark
