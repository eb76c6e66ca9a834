#include "writer/file/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

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
// While a digest follows the output, a copy lands in smaller steps, so that
// the digest reads the bytes of one step while the kernel makes the next.
constexpr std::size_t kFollowedCopyStep = std::size_t{16} << 20;

Error io_error(int code) {
  return Error::io(std::error_code(code, std::generic_category()));
}

// What a kernel copy answers where it cannot copy between these two at all
// (an output opened for appending is refused with EBADF).
bool kernel_cannot(int code) {
  return code == EXDEV || code == ENOSYS || code == EINVAL || code == EOPNOTSUPP || code == EBADF;
}

}  // namespace

OutputFile::OutputFile(int fd, const KernelCopy& kernel, std::size_t start)
    : fd_(fd), kernel_(kernel), buffer_(new char[kBuffer]), position_(start), landed_(start) {}

Status OutputFile::write_through(std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
    land(static_cast<std::size_t>(written));
  }
  return Ok{};
}

void OutputFile::land(std::size_t size) noexcept {
  landed_ += size;
  if (follower_ != nullptr) {
    landed_offset_ += size;
    follower_->advance(landed_offset_);
  }
}

Result<std::uint64_t> OutputFile::file_offset() const {
  // The bytes that landed end at the descriptor's offset (at the file's end
  // for a descriptor that appends); those gathered follow.
  off_t end;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0 && (flags & O_APPEND) != 0) {
    struct stat info;
    end = fstat(fd_, &info) == 0 ? info.st_size : -1;
  } else {
    end = lseek(fd_, 0, SEEK_CUR);
  }
  if (flags < 0 || end < 0) return io_error(errno);
  return static_cast<std::uint64_t>(end) + held_;
}

Status OutputFile::follow(digest::RangeDigest& digest) {
  Result<std::uint64_t> offset = file_offset();
  if (!offset) return std::move(offset).error();
  landed_offset_ = offset.value() - held_;
  follower_ = &digest;
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
// final fsync has little left to wait for. Only a hint: a file system that
// shares the extents has nothing to write.
void OutputFile::write_back(std::size_t size) noexcept {
  const off_t end = lseek(fd_, 0, SEEK_CUR);
  if (end >= static_cast<off_t>(size)) {
    sync_file_range(fd_, end - static_cast<off_t>(size), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
  }
}

// Each way in turn. One the kernel refuses is not used again; one that copies
// nothing is not used for the rest of the range (the input ended, or a file
// system copies nothing without saying why: the next way tells which).
Status OutputFile::copy_range(int in_fd, std::size_t offset, std::size_t size) {
  const std::size_t end = offset + size;
  Way way = kCopyFileRange;
  while (offset < end) {
    if (way != kReadWrite && refused_[way]) {
      way = static_cast<Way>(way + 1);
      continue;
    }
    const std::size_t step = follower_ != nullptr ? kFollowedCopyStep : kCopyStep;
    Result<std::size_t> copied = copy_once(way, in_fd, offset, std::min(end - offset, step));
    if (!copied) {
      if (way == kReadWrite || !kernel_cannot(copied.error().io_error().value())) {
        return std::move(copied).error();
      }
      refused_[way] = true;
    } else if (copied.value() == 0) {
      if (way == kReadWrite) {
        return Error::io(std::error_code(EIO, std::generic_category()),
                         "the input file became shorter while it was read");
      }
      way = static_cast<Way>(way + 1);
    } else {
      offset += copied.value();
      if (way != kReadWrite) land(copied.value());  // read and write lands as it writes
    }
  }
  return Ok{};
}

Result<std::size_t> OutputFile::copy_once(Way way, int in_fd, std::size_t offset,
                                          std::size_t size) {
  for (;;) {
    ssize_t done;
    if (way == kCopyFileRange) {
      loff_t from = static_cast<loff_t>(offset);
      done = kernel_.copy_file_range(in_fd, &from, fd_, nullptr, size, 0);
    } else if (way == kSendfile) {
      off_t from = static_cast<off_t>(offset);
      done = kernel_.sendfile(fd_, in_fd, &from, size);
    } else {
      done = pread(in_fd, buffer_.get(), std::min(size, kBuffer), static_cast<off_t>(offset));
      if (done > 0) {
        const std::string_view read(buffer_.get(), static_cast<std::size_t>(done));
        if (Status status = write_through(read); !status) return std::move(status).error();
      }
    }
    if (done >= 0) return static_cast<std::size_t>(done);
    if (errno != EINTR) return io_error(errno);
  }
}

}  // namespace quillmark
