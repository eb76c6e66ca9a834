#include "writer/file/output_file.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace quillmark {
namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;
// A copy at least this large is handed to the kernel's writeback at once.
constexpr std::size_t kWriteBackFrom = std::size_t{8} << 20;
// One kernel copy at a time: large enough to cost few calls, small enough
// that an interrupt is acted on soon.
constexpr std::size_t kCopyStep = std::size_t{1} << 30;

Error io_error(int code) {
  return Error::io(std::error_code(code, std::generic_category()));
}

// The input ended before the range: it changed while it was read.
Error input_shrank() {
  return io_error(EIO);
}

bool kernel_cannot(int code) {
  return code == EXDEV || code == ENOSYS || code == EINVAL || code == EOPNOTSUPP || code == EBADF;
}

}  // namespace

OutputFile::OutputFile(int fd) : fd_(fd), buffer_(new char[kBuffer]) {}

Status OutputFile::write_through(std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return Ok{};
}

Status OutputFile::flush() {
  const std::size_t held = held_;
  held_ = 0;
  return write_through(std::string_view(buffer_.get(), held));
}

Status OutputFile::write(std::string_view data) {
  position_ += data.size();
  if (held_ + data.size() <= kBuffer) {
    std::memcpy(buffer_.get() + held_, data.data(), data.size());
    held_ += data.size();
    return Ok{};
  }
  if (Status status = flush(); !status) return status;
  if (data.size() >= kBuffer) return write_through(data);
  std::memcpy(buffer_.get(), data.data(), data.size());
  held_ = data.size();
  return Ok{};
}

Status OutputFile::copy(int in_fd, std::size_t offset, std::size_t size) {
  if (size == 0) return Ok{};
  if (Status status = flush(); !status) return status;
  position_ += size;
  Status status = copy_range(in_fd, offset, size);
  if (status && size >= kWriteBackFrom) write_back(size);
  return status;
}

// The bytes just copied go to the disk while the pass goes on, so that the
// final fsync has little left to wait for (an append on two threads waited
// a fifth of its time there). Only a hint: a file system that shares the
// extents has nothing to write.
void OutputFile::write_back(std::size_t size) noexcept {
  const off_t end = lseek(fd_, 0, SEEK_CUR);
  if (end >= static_cast<off_t>(size)) {
    sync_file_range(fd_, end - static_cast<off_t>(size), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
  }
}

Status OutputFile::copy_range(int in_fd, std::size_t offset, std::size_t size) {
  const std::size_t end = offset + size;
  while (copy_file_range_ && offset < end) {
    loff_t from = static_cast<loff_t>(offset);
    const ssize_t copied =
        copy_file_range(in_fd, &from, fd_, nullptr, std::min(end - offset, kCopyStep), 0);
    if (copied > 0) {
      offset += static_cast<std::size_t>(copied);
    } else if (copied == 0) {
      return input_shrank();
    } else if (errno != EINTR) {
      if (!kernel_cannot(errno)) return io_error(errno);
      copy_file_range_ = false;  // not between these two: sendfile takes any output
    }
  }
  while (sendfile_ && offset < end) {
    off_t from = static_cast<off_t>(offset);
    const ssize_t sent = sendfile(fd_, in_fd, &from, std::min(end - offset, kCopyStep));
    if (sent > 0) {
      offset += static_cast<std::size_t>(sent);
    } else if (sent == 0) {
      return input_shrank();
    } else if (errno != EINTR) {
      if (!kernel_cannot(errno)) return io_error(errno);
      sendfile_ = false;
    }
  }
  while (offset < end) {
    const std::size_t step = std::min(end - offset, kBuffer);
    const ssize_t got = pread(in_fd, buffer_.get(), step, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    if (got == 0) return input_shrank();
    if (Status status =
            write_through(std::string_view(buffer_.get(), static_cast<std::size_t>(got)));
        !status) {
      return status;
    }
    offset += static_cast<std::size_t>(got);
  }
  return Ok{};
}

}  // namespace quillmark
