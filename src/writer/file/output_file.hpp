// An archive written to a file descriptor, at the descriptor's own file
// offset: small writes gathered in a buffer, byte ranges of an input file
// copied by the kernel (copy_file_range, which shares extents on XFS and
// btrfs; else sendfile; else read and write). The descriptor is the caller's,
// to open, sync and close; nothing here moves it but the writes themselves.
//
// A range digest of the file may follow the bytes as they land (follow()):
// it is told of them once they are in the file, the bytes a kernel copy
// makes once each step of the copy is done.
#pragma once

#include <sys/sendfile.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "digest/range_digest.hpp"
#include "error/error.hpp"

namespace quillmark {

class OutputFile {
 public:
  // The kernel's two ways of copying, replaceable so that tests can make
  // either refuse or copy nothing.
  struct KernelCopy {
    ssize_t (*copy_file_range)(int, loff_t*, int, loff_t*, std::size_t,
                               unsigned) = ::copy_file_range;
    ssize_t (*sendfile)(int, int, off_t*, std::size_t) = ::sendfile;
  };

  // `start`: the position of the first byte written, for an output that
  // continues bytes already in the file (positions count from the file's
  // start).
  explicit OutputFile(int fd, std::size_t start = 0) : OutputFile(fd, KernelCopy{}, start) {}
  OutputFile(int fd, const KernelCopy& kernel, std::size_t start = 0);

  Status write(std::string_view data);
  // Appends `size` bytes at file position `offset` of the regular file
  // `in_fd`. Fails with EIO when the input ends before the range does.
  Status copy(int in_fd, std::size_t offset, std::size_t size);
  // Writes what is gathered.
  Status flush();
  // Bytes written so far, those still gathered included.
  std::size_t position() const noexcept { return position_; }
  // Bytes written so far that are in the file: not those gathered, nor a
  // kernel copy's before each of its steps is done.
  std::size_t landed() const noexcept { return landed_; }
  // The file offset of position(): where the next byte will land, if it is
  // a regular file; an Io error where the descriptor cannot tell.
  Result<std::uint64_t> file_offset() const;
  int fd() const noexcept { return fd_; }
  // From now on `digest` (a range digest of this file) is advanced to the
  // file offset up to which bytes have landed, until unfollow(). Io error
  // where the file offset cannot be told.
  Status follow(digest::RangeDigest& digest);
  void unfollow() noexcept { follower_ = nullptr; }

 private:
  enum Way { kCopyFileRange, kSendfile, kReadWrite };

  Status write_through(std::string_view data);
  void land(std::size_t size) noexcept;
  Status copy_range(int in_fd, std::size_t offset, std::size_t size);
  Result<std::size_t> copy_once(Way way, int in_fd, std::size_t offset, std::size_t size);
  void write_back(std::size_t size) noexcept;

  int fd_;
  KernelCopy kernel_;
  std::unique_ptr<char[]> buffer_;
  std::size_t held_ = 0;
  std::size_t position_ = 0;
  std::size_t landed_ = 0;
  digest::RangeDigest* follower_ = nullptr;
  std::uint64_t landed_offset_ = 0;  // the file offset of landed(), while followed
  // A kernel copy refused between this input and output is not asked again.
  bool refused_[kReadWrite] = {false, false};
};

}  // namespace quillmark
