#include "record/file/input_window.hpp"

#include <algorithm>
#include <cstring>

namespace quillmark {
namespace {

// How much of a regular file is mapped at a time: enough that the mapping
// moves seldom, little enough to keep resident memory small.
constexpr std::size_t kMapWindow = std::size_t{16} << 20;

}  // namespace

void InputWindow::try_mapping() {
  mapped_ = input_.mappable_fd() >= 0 && input_.size() && map_at(position(), 0);
  if (mapped_) buffer_.reset();
}

std::optional<std::string_view> InputWindow::since(std::size_t at) const noexcept {
  if (at < start_ || at > start_ + end_) return std::nullopt;
  return std::string_view(data_ + (at - start_), end_ - (at - start_));
}

Status InputWindow::refill(std::size_t at_least) {
  if (mapped_) return map_at(position(), at_least);
  if (!buffer_) {
    buffer_.reset(new char[capacity_]);
    data_ = buffer_.get();
  }
  if (begin_ > 0) {
    std::memmove(buffer_.get(), data_ + begin_, end_ - begin_);
    start_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  while (!ended_ && end_ < at_least && end_ < read_size_) {
    Result<std::size_t> got = input_.read(buffer_.get() + end_, read_size_ - end_);
    if (!got) return std::move(got).error();
    if (got.value() == 0) ended_ = true;
    end_ += got.value();
  }
  return Ok{};
}

std::size_t InputWindow::pass_over(std::size_t size) noexcept {
  const std::size_t here = std::min(size, end_ - begin_);
  begin_ += here;
  const std::size_t beyond =
      mapped_ ? std::min(size - here, *input_.size() - position()) : input_.skip(size - here);
  start_ += beyond;
  return here + beyond;
}

void InputWindow::release() noexcept {
  if (!mapped_) return;
  mapping_.unmap();
  start_ += begin_;
  begin_ = end_ = 0;
  data_ = nullptr;
  ended_ = false;
}

// Maps the input from `position` on, at least `wanted` bytes of it where the
// input has them; an Io error when the kernel refuses.
Status InputWindow::map_at(std::size_t position, std::size_t wanted) {
  const std::size_t size = *input_.size();
  const std::size_t length = std::min(std::max(kMapWindow, wanted), size - position);
  if (Status status = mapping_.map(input_.mappable_fd(), input_.file_start() + position, length);
      !status) {
    return status;
  }
  data_ = mapping_.data();
  start_ = position;
  begin_ = 0;
  end_ = length;
  ended_ = position + length == size;
  return Ok{};
}

}  // namespace quillmark
