// The bytes of a scan's input from where the scan stands, a window at a
// time: a regular file mapped where the kernel allows, anything else read
// into a buffer. A mapping saves the copy a read makes and the caches it
// sweeps, but when the file is cut short while it is mapped (truncated by
// another program), reading the pages past its new end raises SIGBUS, which
// would end the process: reads of the window run under guarded(), which turns
// that signal into a failed call and passes every other SIGBUS on.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "record/file/input.hpp"

namespace quillmark {

class InputWindow {
 public:
  // The buffer holds `capacity` bytes, of which a read fills `read_size`.
  InputWindow(Input& input, std::size_t capacity, std::size_t read_size) noexcept
      : input_(input), capacity_(capacity), read_size_(read_size) {}
  ~InputWindow() { unmap(); }  // not copied: it owns a buffer

  // From here on a regular file is read from a mapping, where it can be.
  void try_mapping();
  void limit_reads(std::size_t read_size) noexcept { read_size_ = read_size; }
  // Runs work(context), which reads data(); false when it read a page that
  // the file no longer has and was stopped there. work must not hold, while
  // it reads, anything that needs destroying or releasing (a lock, an
  // allocation under way): it is cut off without unwinding.
  bool guarded(void (*work)(void*), void* context) const;

  // The bytes at hand, from input position position() on.
  std::string_view data() const noexcept { return {data_ + begin_, end_ - begin_}; }
  void consume(std::size_t size) noexcept { begin_ += size; }
  std::size_t position() const noexcept { return start_ + begin_; }
  bool ended() const noexcept { return ended_; }  // the input ends with data()
  // Whether a refill could make data() longer: the input goes on, and data()
  // does not start the window and fill it.
  bool can_widen() const noexcept { return !ended_ && (begin_ > 0 || end_ < capacity_); }
  // The bytes at hand from input position `at` on, if the window holds it.
  std::optional<std::string_view> since(std::size_t at) const noexcept;

  // Makes data() at least `at_least` bytes long, or all that is left. Fails
  // as the input does: std::errc::interrupted for a read a signal cut short,
  // which may be asked for again.
  Status refill(std::size_t at_least = 1);
  // Passes over `size` bytes, those beyond data() unread; returns how many
  // the input had (where can_pass_over()).
  bool can_pass_over() const noexcept { return input_.seekable(); }
  std::size_t pass_over(std::size_t size) noexcept;
  // Lets go of a mapping until the next refill(); false when there is none.
  bool release() noexcept;

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
