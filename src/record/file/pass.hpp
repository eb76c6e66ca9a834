// A pass over an archive file, however it runs: FileScan on the caller's
// thread, ParallelScan on several.
#pragma once

#include <cstddef>

#include "error/error.hpp"

namespace quillmark {

class Pass {
 public:
  virtual ~Pass() = default;

  // Goes on until the end of the input, until the sink pauses, until about
  // `budget` more input bytes are consumed (0: no limit), or until a signal
  // interrupts a read (interrupted() then tells; calling again goes on).
  // Fails with the framer's Error, a gzip Error (ErrorKind::Gzip), an Io
  // error, or the sink's error; with the same one on every call after.
  virtual Status run(std::size_t budget = 0) = 0;
  virtual bool interrupted() const noexcept = 0;

  virtual bool done() const noexcept = 0;
  virtual bool compressed() const noexcept = 0;
  // Input bytes read or passed over so far (file bytes, compressed or not).
  virtual std::size_t consumed() const noexcept = 0;
  // Uncompressed archive bytes framed so far.
  virtual std::size_t content_size() const noexcept = 0;
  virtual std::size_t records() const noexcept = 0;
  virtual std::size_t manifest_records() const noexcept = 0;
  // For a gzip file: whether every member held exactly one whole record.
  virtual bool one_record_per_member() const noexcept = 0;
  // The parts of the file whose reading ahead, on threads of their own, the
  // pass used; 1 for a pass on one thread, or one that used none.
  virtual std::size_t parts() const noexcept { return 1; }
};

}  // namespace quillmark
