#include "record/file/input_window.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>

namespace quillmark {
namespace {

// How much of a regular file is mapped at a time: enough that the mapping
// moves seldom, little enough to keep resident memory small. Every page read
// stays resident until the window moves, once per part on each thread of a
// parallel pass: 4 MiB reads as fast as 16 MiB and holds far less (BENCHMARKS.md,
// "How much of a file is mapped at a time").
constexpr std::size_t kMapWindow = std::size_t{4} << 20;

// The guarded reads of this thread, innermost first.
struct Guard {
  char* const* base;  // the window's mapping, which moves while it is read
  const std::size_t* length;
  std::jmp_buf jump;
  Guard* outer;
};
thread_local Guard* t_guard = nullptr;

std::mutex g_install;
struct sigaction g_previous;  // the handler before ours

void on_bus(int signal, siginfo_t* info, void* context) {
  // Only a fault of the kernel's (si_code > 0) names an address.
  if (info != nullptr && info->si_code > 0) {
    const char* at = static_cast<const char*>(info->si_addr);
    for (Guard* guard = t_guard; guard != nullptr; guard = guard->outer) {
      const char* base = *guard->base;
      if (base != nullptr && at >= base && at < base + *guard->length) {
        std::longjmp(guard->jump, 1);
      }
    }
  }
  const struct sigaction previous = g_previous;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // As if no handler had been there: the faulting read runs again and ends
    // the process with the signal's default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);
  }
}

// Ours stays the first handler even when another was set after it (Python's
// faulthandler, enabled late): it is put back, in front of that one.
void install_handler() {
  const std::lock_guard<std::mutex> lock(g_install);
  struct sigaction current {};
  sigaction(SIGBUS, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_bus) return;
  struct sigaction ours {};
  ours.sa_sigaction = on_bus;
  // SA_NODEFER: leaving the handler by longjmp leaves the signal unblocked.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  g_previous = current;
  sigaction(SIGBUS, &ours, nullptr);
}

}  // namespace

bool InputWindow::guarded(void (*work)(void*), void* context) const {
  if (!mapped_) {
    work(context);
    return true;
  }
  install_handler();
  Guard guard{&base_, &length_, {}, t_guard};
  // setjmp, not sigsetjmp with the mask saved: a call costs no system call.
  // The handler asks for SIGBUS to stay unblocked (SA_NODEFER), but a layer
  // that installs its own handler in front of ours (ThreadSanitizer's does)
  // may run it with SIGBUS blocked, and a second fault while it is blocked
  // would end the process; so a failed read unblocks it on its way out.
  if (setjmp(guard.jump) != 0) {
    t_guard = guard.outer;
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    return false;
  }
  t_guard = &guard;
  work(context);
  t_guard = guard.outer;
  return true;
}

void InputWindow::try_mapping() {
  mapped_ = input_.mappable_fd() >= 0 && input_.size() && map_at(position(), 0);
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

bool InputWindow::release() noexcept {
  if (!mapped_) return false;
  unmap();
  start_ += begin_;
  begin_ = end_ = 0;
  data_ = nullptr;
  ended_ = false;
  return true;
}

// Maps the input from `position` on, at least `wanted` bytes of it where the
// input has them; an Io error when the kernel refuses.
Status InputWindow::map_at(std::size_t position, std::size_t wanted) {
  const std::size_t size = *input_.size();
  const std::size_t length = std::min(std::max(kMapWindow, wanted), size - position);
  unmap();
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t offset = input_.file_start() + position;
  const std::size_t skew = offset % page;
  if (length > 0) {
    void* mapped = mmap(nullptr, length + skew, PROT_READ, MAP_PRIVATE, input_.mappable_fd(),
                        static_cast<off_t>(offset - skew));
    if (mapped == MAP_FAILED) return Error::io(std::error_code(errno, std::generic_category()));
    madvise(mapped, length + skew, MADV_SEQUENTIAL);
    base_ = static_cast<char*>(mapped);
    length_ = length + skew;
  }
  data_ = base_ != nullptr ? base_ + skew : nullptr;
  start_ = position;
  begin_ = 0;
  end_ = length;
  ended_ = position + length == size;
  return Ok{};
}

void InputWindow::unmap() noexcept {
  if (base_ != nullptr) munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
}

}  // namespace quillmark
