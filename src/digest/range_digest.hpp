// The CRC-32 and SHA-256 of a range of a file, computed on a thread of its own
// while the caller goes on: behind a writer that appends to the file, or beside
// a pass that reads it.
//
//   auto digest = RangeDigest::start(fd, start, Digests::Both);  // Result
//   digest->advance(written);   // bytes [start, written) exist: digest them
//   ...
//   Result<RangeDigests> done = digest->finish(end);  // waits; [start, end)
//
// Contract:
// - Positions are absolute offsets in the file. `fd` is not owned and must stay
//   open until finish() or cancel() returns, or the object is destroyed; it is
//   read by pread only, so its file position is never used or moved.
// - advance(to) tells the thread that the bytes before `to` exist and will not
//   change; it never reads at or past the highest `to` given (the bound) until
//   finish(). Bounds only move forward: a lower `to` is ignored. A caller that
//   learns the end late (the digest of a prefix whose end is found later) may
//   advance only to positions it knows are at or before that end.
// - finish(end) waits until [start, end) is digested, ends the thread and
//   returns the digests, or an Error: Io with the system's reason for a failed
//   read; Io "the file ends at byte X, before byte Y" for a file that is
//   shorter than a bound or `end` (it was cut while it was read); Io
//   (EINVAL) for an `end` before `start` or before a bound already given, or a
//   second finish(); Io (ECANCELED) after cancel(). Call it once.
// - cancel() stops the thread as soon as the piece it is reading is digested
//   and waits for it; the destructor cancels a digest that was not finished.
//   No thread outlives the object.
// - The thread wakes (on a condition variable) when a piece's worth of bytes
//   is waiting, or on finish() or cancel(), and reads by pread into a buffer of
//   its own, a piece at a time.
// - mark(at) asks for the digests of [start, at) as well: the thread takes
//   them on its way past `at` (a copy of the state: the bytes are read once).
//   `at` must be at or past the bound given so far, which the thread may have
//   read up to. A later mark replaces an earlier one. marked() waits until the
//   thread is past the mark (the bound must have reached it) and returns
//   those digests; after finish(end) it returns them if the mark was within
//   `end`. It fails with Io (EINVAL) where there is no such mark, or as
//   finish() does for a failed read.
// - One caller thread at a time: advance, mark, marked, finish and cancel are
//   not meant to be called concurrently with each other on one object.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "digest/sha256.hpp"
#include "error/error.hpp"

namespace quillmark::digest {

enum class Digests { Crc32, Sha256, Both };

struct RangeDigests {
  std::uint64_t size = 0;   // end - start
  std::uint32_t crc32 = 0;  // CRC-32 as zlib and ZIP compute it; 0 unless asked for
  Sha256Digest sha256{};    // all zero unless asked for
};

class RangeDigest {
 public:
  // Bytes read at a time.
  static constexpr std::size_t kPiece = std::size_t{1} << 20;

  // Starts the thread; an Io error if the system refuses one.
  static Result<RangeDigest> start(int fd, std::uint64_t start, Digests digests);

  RangeDigest(RangeDigest&&) noexcept;
  RangeDigest& operator=(RangeDigest&&) noexcept;
  ~RangeDigest();

  void advance(std::uint64_t to) noexcept;
  void mark(std::uint64_t at) noexcept;
  Result<RangeDigests> marked();
  Result<RangeDigests> finish(std::uint64_t end);
  void cancel() noexcept;

  struct Shared;  // the state the thread and the caller share

 private:
  RangeDigest(std::unique_ptr<Shared> shared, std::thread thread) noexcept;

  std::unique_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace quillmark::digest
