// The bytes of a scan's input from where the scan stands, a window at a
// time: a regular file is mapped, a window of it at a time, where the kernel
// allows; anything else is read into a buffer.
//
// Inflating a .warc.gz straight from a mapping, rather than from a copy that
// a read makes, saves the copy and the caches it sweeps. A mapping has one
// hazard: when the file is cut short while it is mapped (truncated by another
// program), reading the pages past its new end raises SIGBUS, which would end
// the whole process. Reads of the window therefore run under guarded(), which
// turns that signal into a failed call; the handler passes every other SIGBUS
// on to whatever handled it before.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "record/file/input.hpp"

namespace quillmark {

class InputWindow {
 public:
  // The buffer holds `capacity` bytes; a read fills at most `read_size` of
  // them (see limit_reads).
  InputWindow(Input& input, std::size_t capacity, std::size_t read_size) noexcept
      : input_(input), capacity_(capacity), read_size_(read_size) {}
  ~InputWindow() { unmap(); }
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;

  // From here on the input is read from a mapping, where it is a regular
  // file and the kernel lets it be mapped.
  void try_mapping();
  bool mapped() const noexcept { return mapped_; }
  void limit_reads(std::size_t read_size) noexcept { read_size_ = read_size; }
  // Runs work(context), which reads data(). Should it read a page that the
  // file no longer has, it is stopped there and false is returned. work must
  // not hold, while it reads, anything that needs destroying or releasing (a
  // lock, an allocation under way): it is cut off without unwinding.
  bool guarded(void (*work)(void*), void* context) const;

  // The bytes at hand, from position() on.
  std::string_view data() const noexcept { return {data_ + begin_, end_ - begin_}; }
  void consume(std::size_t size) noexcept { begin_ += size; }
  std::size_t position() const noexcept { return start_ + begin_; }
  // Whether the input ends with data().
  bool ended() const noexcept { return ended_; }
  // Whether a refill could make data() longer: the input goes on, and data()
  // does not start the window and fill it.
  bool can_widen() const noexcept { return !ended_ && (begin_ > 0 || end_ < capacity_); }
  // The bytes at hand from input position `at` on, if the window holds it.
  std::optional<std::string_view> since(std::size_t at) const noexcept;

  // Makes data() at least `at_least` bytes long, or all that is left of the
  // input. Fails as the input does: std::errc::interrupted for a read a
  // signal cut short, which may be asked for again.
  Status refill(std::size_t at_least = 1);
  // Passes over `size` bytes, those beyond data() without reading them
  // (where can_pass_over()); returns how many the input had.
  bool can_pass_over() const noexcept { return input_.seekable(); }
  std::size_t pass_over(std::size_t size) noexcept;
  // Lets go of a mapping until the next refill().
  void release() noexcept;

 private:
  Status map_at(std::size_t position, std::size_t wanted);
  void unmap() noexcept;

  Input& input_;
  std::size_t capacity_;
  std::size_t read_size_;
  std::unique_ptr<char[]> buffer_;
  bool mapped_ = false;
  char* base_ = nullptr;  // the page-aligned mapping, if any
  std::size_t length_ = 0;
  // data_[begin_, end_) is at hand; data_[0] lies at input position start_.
  const char* data_ = nullptr;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t start_ = 0;
  bool ended_ = false;
};

}  // namespace quillmark
