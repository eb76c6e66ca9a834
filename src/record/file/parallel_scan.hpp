// ParallelScan: one pass over a gzip file on several threads.
//
// A .warc.gz written one member per record can be split: members are
// independent deflate streams. The file is cut into parts; every part but the
// first starts at a member start found at or after its cut (a member header,
// confirmed by inflating that member). Each part is scanned (PartScan) on a
// thread of its own, its framer starting between records, and its events are
// kept (EventRecorder) until the join replays them into the sink in file
// order, moved to their place in the archive, as one FileScan would make them.
//
// The join checks what that assumed: the part before must have stopped where
// the part starts, between records. Where it did not (a member header inside
// another member's data, as in a record whose body is a .gz stored as it is;
// a record that goes on over the cut), the part before goes on itself and the
// part read ahead is dropped. A part that fails is scanned again from its
// start, at its true place, so that the message and the offsets are those of
// a single scan; the first failure in file order is the one reported.
//
// At most two parts per thread are read ahead of the join, and each holds
// positions and counts (and the blocks and bodies the sink asks for), not
// the data: memory stays bounded.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "record/file/event_recorder.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/scan_sink.hpp"

namespace quillmark {

class ParallelScan final : public Pass {
 public:
  // `input` is a regular gzip file; `threads` at least 2. Throws
  // std::bad_alloc (or std::system_error when no thread can be started).
  ParallelScan(FileInput& input, ScanSink& sink, const ScanOptions& options, unsigned threads,
               std::size_t part_size);
  ~ParallelScan() override;

  Status run(std::size_t budget = 0) override;
  bool interrupted() const noexcept override { return false; }  // a regular file
  bool done() const noexcept override { return done_; }
  bool compressed() const noexcept override { return true; }
  std::size_t consumed() const noexcept override { return consumed_; }
  std::size_t content_size() const noexcept override;
  std::size_t records() const noexcept override {
    return delivery_.records() + (live_ ? live_->records() : 0);
  }
  std::size_t manifest_records() const noexcept override {
    return delivery_.manifest_records() + (live_ ? live_->manifest_records() : 0);
  }
  bool one_record_per_member() const noexcept override;
  std::size_t parts() const noexcept override { return std::max<std::size_t>(joined_parts_, 1); }

 private:
  struct Part;

  void work();
  void scan_part(std::size_t index);
  std::optional<std::size_t> find_member(std::size_t from, std::size_t to);
  Part& ready_part(std::size_t index);
  std::optional<std::size_t> next_part(std::size_t after);
  Status step(std::size_t budget_end);
  Status go_on(Part& part, std::size_t budget_end);
  Status replay(Part& part);
  Status rescan_from(Part& part);

  FileInput& input_;
  ScanSink& sink_;
  ScanOptions options_;
  unsigned threads_;
  std::vector<Part> parts_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t claimed_ = 0;  // parts given to workers
  std::size_t joined_ = 0;   // the part the join is at: workers stay within a window of it
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  // The most room a part's scan found a whole member needs: the parts after
  // it start with that much, rather than each inflating a large member twice.
  std::atomic<std::size_t> whole_room_{0};

  // The join, on the caller's thread.
  SinkDelivery delivery_;
  std::size_t current_ = 0;         // the part being replayed
  std::size_t shift_ = 0;           // its place in the archive
  std::size_t joined_parts_ = 0;    // parts whose events were replayed
  std::unique_ptr<PartScan> live_;  // the sequential scan after a failed part
  std::size_t consumed_ = 0;
  bool done_ = false;
  std::optional<Error> error_;
};

// A pass over `input` into `sink`: on `threads` threads where that pays (a
// regular gzip file of at least two parts), else a FileScan. Parts are of
// `part_size` bytes of the file (0: a size that suits the sink).
std::unique_ptr<Pass> make_pass(FileInput& input, ScanSink& sink, const ScanOptions& options,
                                unsigned threads = 1, std::size_t part_size = 0);

}  // namespace quillmark
