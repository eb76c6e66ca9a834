// Where the bytes of an archive file come from. A regular file is read by
// position (or mapped: input_window.hpp), which lets a pass go over bodies
// it does not need unread and the appender copy byte ranges of it by the
// kernel; a pipe or a terminal is read once, in order. Any other source (a
// stream object of the caller's) implements `Input` itself. Positions count
// from the start of the archive, which may lie anywhere in a FileInput's
// file: an archive stored in a package is a byte range of the package.
#pragma once

#include <cstddef>
#include <optional>

#include "error/error.hpp"

namespace quillmark {

class Input {
 public:
  virtual ~Input() = default;
  // Reads up to `size` bytes at the current position into `out` and moves
  // past them; 0 only at the end. A read that a signal interrupts fails with
  // std::errc::interrupted, and may be tried again.
  virtual Result<std::size_t> read(char* out, std::size_t size) = 0;
  // Whether skip() and read_at() work.
  virtual bool seekable() const noexcept { return false; }
  // Moves past up to `size` bytes without reading them, never past the end;
  // returns how many. Only where seekable().
  virtual std::size_t skip(std::size_t /*size*/) noexcept { return 0; }
  // Up to `size` bytes at archive position `offset`, fewer only at the end.
  // Only where seekable(); does not move the current position.
  virtual Result<std::size_t> read_at(std::size_t /*offset*/, char* /*out*/, std::size_t /*size*/) {
    return std::size_t{0};
  }
  // The archive's size, where it is known.
  virtual std::optional<std::size_t> size() const noexcept { return std::nullopt; }
  // A regular file whose bytes can be mapped (see input_window.hpp): its
  // descriptor and the file position of archive position 0; -1 otherwise.
  virtual int mappable_fd() const noexcept { return -1; }
  virtual std::size_t file_start() const noexcept { return 0; }
};

// A file descriptor, borrowed: a regular file from `start` to `end` (or its
// end, as it is when the input is made), or anything else from where it stands.
class FileInput final : public Input {
 public:
  // Looks at the descriptor (fstat); Io error when it cannot.
  static Result<FileInput> open(int fd, std::size_t start = 0,
                                std::optional<std::size_t> end = std::nullopt);

  Result<std::size_t> read(char* out, std::size_t size) override;
  bool seekable() const noexcept override { return regular_; }
  std::size_t skip(std::size_t size) noexcept override;
  Result<std::size_t> read_at(std::size_t offset, char* out, std::size_t size) override;
  std::optional<std::size_t> size() const noexcept override {
    if (!regular_) return std::nullopt;
    return end_ - start_;
  }
  int mappable_fd() const noexcept override { return regular_ ? fd_ : -1; }
  std::size_t file_start() const noexcept override { return start_; }
  int fd() const noexcept { return fd_; }

 private:
  FileInput(int fd, bool regular, std::size_t start, std::size_t end) noexcept
      : fd_(fd), regular_(regular), start_(start), end_(end) {}

  int fd_;
  bool regular_;
  std::size_t start_;
  std::size_t end_;
  std::size_t position_ = 0;
};

}  // namespace quillmark
