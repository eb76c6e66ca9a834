#include "record/file/parallel_scan.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string_view>

#include "record/file/gzip_header.hpp"
#include "record/file/gzip_inflater.hpp"

namespace quillmark {
namespace {

// The search reads this much at a time.
constexpr std::size_t kSearchPiece = std::size_t{1} << 20;
// A candidate whose member inflates to more than this is taken as it is: the
// join checks it anyway.
constexpr std::size_t kConfirmAtMost = std::size_t{64} << 20;
// Parts read ahead of the join, per thread.
constexpr std::size_t kAheadPerThread = 2;

}  // namespace

struct ParallelScan::Part {
  std::size_t cut = 0;       // where the search for its start begins
  std::size_t next_cut = 0;  // where the next part's begins: this one stops there
  bool last = false;
  std::optional<std::size_t> start;  // the member start found; none: an empty part
  std::unique_ptr<EventRecorder> recorder;
  std::unique_ptr<PartScan> scan;
  Status status = Ok{};
  bool ready = false;    // under the mutex: the worker is done with it
  bool shifted = false;  // its scan knows its place in the archive
};

ParallelScan::ParallelScan(FileInput& input, ScanSink& sink, const ScanOptions& options,
                           unsigned threads, std::size_t part_size)
    : input_(input), sink_(sink), options_(options), threads_(threads), delivery_(sink, 0, 0) {
  const std::size_t size = *input.size();
  const std::size_t count = std::max<std::size_t>(threads, (size + part_size - 1) / part_size);
  parts_ = std::vector<Part>(count);
  for (std::size_t i = 0; i < count; ++i) {
    parts_[i].cut = size / count * i;
    parts_[i].next_cut = i + 1 < count ? size / count * (i + 1) : size;
    parts_[i].last = i + 1 == count;
  }
}

ParallelScan::~ParallelScan() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ParallelScan::work() {
  for (;;) {
    std::size_t index;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] {
        return stopping_ || claimed_ == parts_.size() ||
               claimed_ < joined_ + kAheadPerThread * threads_;
      });
      if (stopping_ || claimed_ == parts_.size()) return;
      index = claimed_++;
    }
    try {
      scan_part(index);
    } catch (const std::bad_alloc&) {
      // The join scans this part again itself, and meets the shortage there.
      parts_[index].status = Error::io(std::make_error_code(std::errc::not_enough_memory));
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      parts_[index].ready = true;
    }
    changed_.notify_all();
  }
}

void ParallelScan::scan_part(std::size_t index) {
  Part& part = parts_[index];
  part.start = index == 0 ? std::optional<std::size_t>(0) : find_member(part.cut, part.next_cut);
  if (!part.start) return;
  part.recorder = std::make_unique<EventRecorder>(sink_);
  PartOptions limits;
  if (!part.last) limits.stop_at = part.next_cut;
  limits.whole_room = whole_room_.load(std::memory_order_relaxed);
  Result<std::unique_ptr<PartScan>> opened =
      PartScan::open(input_, *part.start, *input_.size(), 0, *part.recorder, options_, limits);
  if (!opened) {
    part.status = std::move(opened).error();
    return;
  }
  part.scan = std::move(opened).value();
  part.status = part.scan->run();
  std::size_t seen = whole_room_.load(std::memory_order_relaxed);
  while (seen < part.scan->whole_room() &&
         !whole_room_.compare_exchange_weak(seen, part.scan->whole_room(),
                                            std::memory_order_relaxed)) {
  }
  part.scan->hibernate();
}

// The first place in [from, to) of the input where a gzip member starts, as
// far as inflating that member can tell.
std::optional<std::size_t> ParallelScan::find_member(std::size_t from, std::size_t to) {
  std::unique_ptr<char[]> piece(new char[kSearchPiece + 3]);
  const std::unique_ptr<gzip::StreamingInflater> zlib = gzip::make_zlib_inflater();
  // The candidate is read into a buffer of its own: the search goes on in
  // `piece` when it is not a member.
  std::unique_ptr<char[]> member(new char[kSearchPiece]);
  std::unique_ptr<char[]> scratch(new char[kSearchPiece]);
  const auto confirmed = [&](std::size_t at) {
    zlib->begin_member();
    std::size_t made = 0;
    for (;;) {
      Result<std::size_t> got = input_.read_at(at, member.get(), kSearchPiece);
      if (!got || got.value() == 0) return false;  // cut short: not a member
      std::string_view in(member.get(), got.value());
      while (!in.empty()) {
        const gzip::InflateStep step = zlib->inflate(in, scratch.get(), kSearchPiece);
        in.remove_prefix(step.consumed);
        at += step.consumed;
        made += step.produced;
        if (step.status == gzip::InflateStep::Status::MemberEnd) return true;
        if (step.status == gzip::InflateStep::Status::Corrupt) return false;
        if (made > kConfirmAtMost) return true;
        if (step.status == gzip::InflateStep::Status::NeedInput) break;
      }
    }
  };
  for (std::size_t at = from; at < to; at += kSearchPiece) {
    Result<std::size_t> got = input_.read_at(at, piece.get(), kSearchPiece + 3);
    if (!got) return std::nullopt;
    const std::string_view bytes(piece.get(), got.value());
    for (std::size_t i = bytes.find('\x1f'); i < kSearchPiece && at + i < to;
         i = bytes.find('\x1f', i + 1)) {
      if (gzip::can_begin_member(bytes.substr(i)) && confirmed(at + i)) return at + i;
    }
  }
  return std::nullopt;
}

// Waits for the part. The window of parts read ahead moves up to it: the
// parts between the current one and it hold nothing (they found no start).
ParallelScan::Part& ParallelScan::ready_part(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (joined_ < index) {
    joined_ = index;
    changed_.notify_all();
  }
  changed_.wait(lock, [&] { return parts_[index].ready; });
  return parts_[index];
}

// The first part after `after` that found a start, if any.
std::optional<std::size_t> ParallelScan::next_part(std::size_t after) {
  for (std::size_t index = after + 1; index < parts_.size(); ++index) {
    if (ready_part(index).start) return index;
  }
  return std::nullopt;
}

std::size_t ParallelScan::content_size() const noexcept {
  if (live_) return live_->content_size();
  const Part& part = parts_[current_];
  return part.scan && part.shifted ? part.scan->content_size() : shift_;
}

bool ParallelScan::one_record_per_member() const noexcept {
  if (records() == 0 || !delivery_.groups().one_record_each()) return false;
  return !live_ || live_->groups().one_record_each();
}

Status ParallelScan::run(std::size_t budget) {
  if (error_) return *error_;
  if (workers_.empty() && !done_) {
    delivery_.begin(/*compressed=*/true);
    for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back([this] { work(); });
  }
  const std::size_t budget_end =
      budget == 0 ? std::numeric_limits<std::size_t>::max() : consumed_ + budget;
  delivery_.resume();
  while (!done_ && !delivery_.paused() && consumed_ < budget_end) {
    const bool live = live_ != nullptr;
    Status status = step(budget_end);
    if (!status) {
      error_ = std::move(status).error();
      return *error_;
    }
    if (live) break;  // the scan ran until its sink paused, its budget or its end
  }
  return Ok{};
}

// One step of the join: replay what the current part holds, then go on to
// the next part, or make the current one go on.
Status ParallelScan::step(std::size_t budget_end) {
  if (live_) {
    Status status = live_->run(budget_end - consumed_);
    consumed_ = live_->position();
    done_ = live_->done();
    return status;
  }
  Part& part = ready_part(current_);
  if (!part.shifted) {
    // A failure read ahead has positions of the part, not of the archive.
    if (!part.status) return rescan_from(part);
    part.scan->shift(shift_);
    part.recorder->mark_shifted();
    part.shifted = true;
    ++joined_parts_;
  }
  if (Status status = replay(part); !status || delivery_.paused()) return status;
  // A failure of the part going on (see below) is exact: it comes after the
  // records before it.
  if (!part.status) return part.status;
  if (!part.scan->done()) return go_on(part, budget_end);
  if (!part.scan->stopped()) {  // the end of the data
    done_ = true;
    return delivery_.finish();
  }
  const std::optional<std::size_t> next = next_part(current_);
  const std::size_t position = part.scan->position();
  if (next && part.scan->between_records() && position == *parts_[*next].start) {
    // The part ahead starts where this one stopped: its events are the ones a
    // single scan would have made from here.
    shift_ = part.scan->content_size();
    part.scan.reset();
    part.recorder.reset();
    current_ = *next;
    return Ok{};
  }
  // Not so: this part goes on itself, up to where the next one (or the part
  // after it, or the end) stops, and the part ahead is dropped.
  std::optional<std::size_t> stop;
  if (next && !parts_[*next].last) stop = parts_[*next].next_cut;
  if (next) {
    Part& dropped = parts_[*next];
    dropped.start.reset();
    dropped.scan.reset();
    dropped.recorder.reset();
  }
  part.scan->extend(stop);
  return go_on(part, budget_end);
}

// The part goes on a budget at a time, on the join's thread.
Status ParallelScan::go_on(Part& part, std::size_t budget_end) {
  part.status = part.scan->run(budget_end > consumed_ ? budget_end - consumed_ : 1);
  consumed_ = part.scan->position();
  return Ok{};
}

Status ParallelScan::replay(Part& part) {
  if (Status status = part.recorder->replay(delivery_, shift_); !status) return status;
  if (part.recorder->replayed()) {
    part.recorder->forget_replayed();
    consumed_ = part.scan->position();
  }
  return Ok{};
}

// A part that failed (or could not be read ahead) is scanned again from its
// start, at its true place, into the sink: a single scan from there on.
Status ParallelScan::rescan_from(Part& part) {
  PartOptions limits;
  limits.whole_room = whole_room_.load(std::memory_order_relaxed);
  limits.sink_begun = true;
  part.scan.reset();
  part.recorder.reset();
  Result<std::unique_ptr<PartScan>> opened =
      PartScan::open(input_, *part.start, *input_.size(), shift_, sink_, options_, limits);
  if (!opened) return std::move(opened).error();
  live_ = std::move(opened).value();
  return Ok{};
}

std::unique_ptr<Pass> make_pass(FileInput& input, ScanSink& sink, const ScanOptions& options,
                                unsigned threads, std::size_t part_size) {
  // Smaller parts for a sink that takes header blocks, or bodies in bulk: a
  // part read ahead holds them until the join reaches it.
  if (part_size == 0) {
    part_size = sink.keeps_bodies()   ? std::size_t{1} << 20
                : sink.wants_blocks() ? std::size_t{4} << 20
                                      : std::size_t{16} << 20;
  }
  if (threads >= 2 && input.seekable() && options.compressed.value_or(true) &&
      input.size().value_or(0) >= 2 * part_size) {
    char magic[2] = {};
    Result<std::size_t> got = input.read_at(0, magic, sizeof magic);
    if (got && gzip::starts_with_magic(std::string_view(magic, got.value()))) {
      return std::make_unique<ParallelScan>(input, sink, options, threads, part_size);
    }
  }
  return std::make_unique<FileScan>(input, sink, options);
}

}  // namespace quillmark
