#include "record/file/parallel_scan.hpp"

#include <algorithm>
#include <cstring>
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
  std::unique_ptr<FileInput> input;
  std::unique_ptr<EventRecorder> recorder;
  std::unique_ptr<FileScan> scan;
  Status status = Ok{};
  bool ready = false;    // under the mutex: the worker is done with it
  bool shifted = false;  // its scan knows its place in the archive
};

ParallelScan::ParallelScan(FileInput& input, ScanSink& sink, const ScanOptions& options,
                           unsigned threads, std::size_t part_size)
    : input_(input), sink_(sink), options_(options), threads_(threads) {
  const std::size_t size = *input.size();
  const std::size_t count = std::max<std::size_t>(threads, (size + part_size - 1) / part_size);
  parts_ = std::vector<Part>(count);
  for (std::size_t i = 0; i < count; ++i) {
    parts_[i].cut = size / count * i;
    parts_[i].next_cut = i + 1 < count ? size / count * (i + 1) : size;
    parts_[i].last = i + 1 == count;
  }
  groups_ = MemberGroups(options.compressed_start, options.start);
  shift_ = options.start;
  consumed_ = 0;
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
  Result<FileInput> opened = FileInput::open(input_.fd(), input_.file_start() + *part.start,
                                             input_.file_start() + *input_.size());
  if (!opened) {
    part.status = std::move(opened).error();
    return;
  }
  part.input = std::make_unique<FileInput>(std::move(opened).value());
  part.recorder = std::make_unique<EventRecorder>(sink_);
  ScanOptions options = options_;
  options.compressed = true;
  options.compressed_start = options_.compressed_start + *part.start;
  options.start = 0;
  if (!part.last) options.stop_at = options_.compressed_start + part.next_cut;
  options.whole_output = whole_output_.load(std::memory_order_relaxed);
  part.scan = std::make_unique<FileScan>(*part.input, *part.recorder, options);
  part.status = part.scan->run();
  std::size_t seen = whole_output_.load(std::memory_order_relaxed);
  while (seen < part.scan->whole_output() &&
         !whole_output_.compare_exchange_weak(seen, part.scan->whole_output(),
                                              std::memory_order_relaxed)) {
  }
  part.scan->hibernate();
}

// The first place in [from, to) of the input where a gzip member starts, as
// far as inflating that member can tell.
std::optional<std::size_t> ParallelScan::find_member(std::size_t from, std::size_t to) {
  std::unique_ptr<char[]> piece(new char[kSearchPiece + 3]);
  gzip::MemberInflaters inflaters = gzip::make_member_inflaters(gzip::Inflater::Zlib);
  std::unique_ptr<char[]> scratch(new char[kSearchPiece]);
  const auto confirmed = [&](std::size_t at) {
    inflaters.streaming->begin_member();
    std::size_t made = 0;
    for (;;) {
      Result<std::size_t> got = input_.read_at(at, piece.get(), kSearchPiece);
      if (!got || got.value() == 0) return false;  // cut short: not a member
      std::string_view in(piece.get(), got.value());
      while (!in.empty()) {
        const gzip::InflateStep step =
            inflaters.streaming->inflate(in, scratch.get(), kSearchPiece);
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
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece.get());
    const std::size_t size = got.value();
    for (std::size_t i = 0; i + 3 < size && at + i < to && i < kSearchPiece; ++i) {
      const void* found = std::memchr(bytes + i, 0x1f, std::min(size, kSearchPiece) - i);
      if (found == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes);
      if (at + i >= to || i + 3 >= size) break;
      if (gzip::can_begin_member(std::string_view(piece.get() + i, size - i)) &&
          confirmed(at + i)) {
        return at + i;
      }
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

std::size_t ParallelScan::records() const noexcept {
  if (live_) return records_ + live_->records();
  const Part& part = parts_[current_];
  return records_ + (part.scan ? part.scan->records() : 0);
}

std::size_t ParallelScan::manifest_records() const noexcept {
  if (live_) return manifest_records_ + live_->manifest_records();
  const Part& part = parts_[current_];
  return manifest_records_ + (part.scan ? part.scan->manifest_records() : 0);
}

bool ParallelScan::one_record_per_member() const noexcept {
  if (records() == 0 || !groups_.one_record_each()) return false;
  return !live_ || live_->groups().one_record_each();
}

Status ParallelScan::run(std::size_t budget) {
  if (error_) return *error_;
  if (workers_.empty() && !done_) {
    sink_.begin(/*compressed=*/true);
    for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back([this] { work(); });
  }
  const std::size_t budget_end =
      budget == 0 ? std::numeric_limits<std::size_t>::max() : consumed_ + budget;
  bool paused = false;
  while (!done_ && !paused && consumed_ < budget_end) {
    Status status = step(budget_end, paused);
    if (!status) {
      error_ = std::move(status).error();
      return *error_;
    }
  }
  return Ok{};
}

// One step of the join: replay what the current part holds, then go on to
// the next part, or make the current one go on.
Status ParallelScan::step(std::size_t budget_end, bool& paused) {
  if (live_) {
    Status status = live_->run(budget_end - consumed_);
    consumed_ = live_->position() - options_.compressed_start;
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
  }
  if (Status status = replay(part, paused); !status || paused) return status;
  // A failure of the part going on (see below) is exact: it comes after the
  // records before it.
  if (!part.status) return part.status;
  if (!part.scan->done()) {  // going on, a budget at a time
    part.status = part.scan->run(budget_end > consumed_ ? budget_end - consumed_ : 1);
    consumed_ = part.scan->position() - options_.compressed_start;
    return Ok{};
  }
  if (!part.scan->stopped()) {  // the end of the data
    done_ = true;
    if (std::optional<MemberGroup> group = groups_.finish()) return sink_.group_closed(*group);
    return Ok{};
  }
  const std::optional<std::size_t> next = next_part(current_);
  const std::size_t position = part.scan->position();
  if (next && part.scan->between_records() &&
      position == options_.compressed_start + *parts_[*next].start) {
    // The part ahead starts where this one stopped: its events are the ones a
    // single scan would have made from here.
    records_ += part.scan->records();
    manifest_records_ += part.scan->manifest_records();
    shift_ = part.scan->content_size();
    part.scan.reset();
    part.recorder.reset();
    part.input.reset();
    current_ = *next;
    return Ok{};
  }
  // Not so: this part goes on itself, up to where the next one (or the part
  // after it, or the end) stops, and the part ahead is dropped.
  std::optional<std::size_t> stop;
  if (next && !parts_[*next].last) stop = options_.compressed_start + parts_[*next].next_cut;
  if (next) {
    Part& dropped = parts_[*next];
    dropped.start.reset();
    dropped.scan.reset();
    dropped.recorder.reset();
    dropped.input.reset();
  }
  return go_on(part, stop, budget_end);
}

Status ParallelScan::go_on(Part& part, std::optional<std::size_t> stop, std::size_t budget_end) {
  part.scan->extend(stop);
  part.status = part.scan->run(budget_end > consumed_ ? budget_end - consumed_ : 1);
  consumed_ = part.scan->position() - options_.compressed_start;
  return Ok{};
}

Status ParallelScan::replay(Part& part, bool& paused) {
  if (Status status = part.recorder->replay(sink_, groups_, shift_, paused); !status) {
    return status;
  }
  if (part.recorder->replayed()) {
    part.recorder->forget_replayed();
    consumed_ = part.scan->position() - options_.compressed_start;
  }
  return Ok{};
}

// A part that failed (or could not be read ahead) is scanned again from its
// start, at its true place, straight into the sink: from there on the pass
// is a single scan, which reports the failure exactly.
Status ParallelScan::rescan_from(Part& part) {
  const std::size_t start = *part.start;
  Result<FileInput> opened = FileInput::open(input_.fd(), input_.file_start() + start,
                                             input_.file_start() + *input_.size());
  if (!opened) return std::move(opened).error();
  live_input_ = std::make_unique<FileInput>(std::move(opened).value());
  ScanOptions options = options_;
  options.compressed = true;
  options.compressed_start = options_.compressed_start + start;
  options.start = shift_;
  options.stop_at.reset();
  options.sink_begun = true;
  options.whole_output = whole_output_.load(std::memory_order_relaxed);
  part.scan.reset();
  part.recorder.reset();
  live_ = std::make_unique<FileScan>(*live_input_, sink_, options);
  return Ok{};
}

std::unique_ptr<Pass> make_pass(Input& input, ScanSink& sink, const ScanOptions& options,
                                unsigned threads, std::size_t part_size) {
  // Smaller parts for a sink that takes header blocks, or bodies in bulk: a
  // part read ahead holds them until the join reaches it (on a crawl of tiny
  // records a listing's part of 16 MiB held 28 MiB of them).
  if (part_size == 0) {
    part_size = sink.keeps_bodies()   ? std::size_t{1} << 20
                : sink.wants_blocks() ? std::size_t{4} << 20
                                      : std::size_t{16} << 20;
  }
  const int fd = input.mappable_fd();
  if (threads >= 2 && fd >= 0 && options.compressed.value_or(true) && !options.stop_at) {
    auto* file = dynamic_cast<FileInput*>(&input);
    char magic[2] = {};
    const std::size_t size = input.size().value_or(0);
    if (file != nullptr && size >= 2 * part_size) {
      Result<std::size_t> got = input.read_at(0, magic, sizeof magic);
      if (got && gzip::starts_with_magic(std::string_view(magic, got.value()))) {
        return std::make_unique<ParallelScan>(*file, sink, options, threads, part_size);
      }
    }
  }
  return std::make_unique<FileScan>(input, sink, options);
}

}  // namespace quillmark
