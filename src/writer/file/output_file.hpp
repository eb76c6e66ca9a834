// An archive written to a file descriptor, at the descriptor's own file
// offset: small writes gathered in a buffer, byte ranges of an input file
// copied by the kernel (copy_file_range, which shares extents on XFS and
// btrfs; else sendfile; else read and write).
//
// The descriptor belongs to the caller, who opens it (in a temporary file
// that replaces the target at the end) and syncs it; nothing here moves it
// but the writes themselves.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "error/error.hpp"

namespace quillmark {

class OutputFile {
 public:
  explicit OutputFile(int fd);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  Status write(std::string_view data);
  // Appends `size` bytes at file position `offset` of the regular file `in_fd`.
  Status copy(int in_fd, std::size_t offset, std::size_t size);
  // Writes what is gathered.
  Status flush();
  // Bytes written so far, those still gathered included.
  std::size_t position() const noexcept { return position_; }

 private:
  Status write_through(std::string_view data);
  Status copy_range(int in_fd, std::size_t offset, std::size_t size);
  void write_back(std::size_t size) noexcept;

  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t held_ = 0;
  std::size_t position_ = 0;
  // Each way of copying is used until the kernel says it cannot.
  bool copy_file_range_ = true;
  bool sendfile_ = true;
};

}  // namespace quillmark
