#include "record/file/input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quillmark {
namespace {

Error last_io_error() {
  return Error::io(std::error_code(errno, std::generic_category()));
}

}  // namespace

Result<FileInput> FileInput::open(int fd, std::size_t start, std::optional<std::size_t> end) {
  struct stat info;
  if (fstat(fd, &info) != 0) return last_io_error();
  if (S_ISDIR(info.st_mode)) return Error::io(std::make_error_code(std::errc::is_a_directory));
  const bool regular = S_ISREG(info.st_mode);
  if (!regular) return FileInput(fd, false, 0, 0);
  const auto file_size = static_cast<std::size_t>(info.st_size);
  std::size_t stop = std::min(end.value_or(file_size), file_size);
  start = std::min(start, stop);
#if defined(POSIX_FADV_SEQUENTIAL)
  posix_fadvise(fd, static_cast<off_t>(start), static_cast<off_t>(stop - start),
                POSIX_FADV_SEQUENTIAL);
#endif
  return FileInput(fd, true, start, stop);
}

Result<std::size_t> FileInput::read(char* out, std::size_t size) {
  ssize_t got;
  if (regular_) {
    size = std::min(size, end_ - start_ - position_);
    if (size == 0) return std::size_t{0};
    got = pread(fd_, out, size, static_cast<off_t>(start_ + position_));
  } else {
    got = ::read(fd_, out, size);
  }
  // EINTR too is returned: the caller goes back to Python, which runs the
  // signal's handler (the read of a pipe may wait for ever), and reads again.
  if (got < 0) return last_io_error();
  position_ += static_cast<std::size_t>(got);
  return static_cast<std::size_t>(got);
}

std::size_t FileInput::skip(std::size_t size) noexcept {
  if (!regular_) return 0;
  size = std::min(size, end_ - start_ - position_);
  position_ += size;
  return size;
}

Result<std::size_t> FileInput::read_at(std::size_t offset, char* out, std::size_t size) {
  if (!regular_ || offset >= end_ - start_) return std::size_t{0};
  size = std::min(size, end_ - start_ - offset);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(fd_, out + done, size - done, static_cast<off_t>(start_ + offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_io_error();
    }
    if (got == 0) break;  // the file shrank meanwhile
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace quillmark
