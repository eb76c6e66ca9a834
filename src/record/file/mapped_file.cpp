#include "record/file/mapped_file.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <mutex>
#include <system_error>

namespace quillmark {

Status MappedFile::map(int fd, std::size_t offset, std::size_t size) {
  unmap();
  if (size == 0) return Ok{};
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t start = offset - offset % page;
  const std::size_t length = size + (offset - start);
  void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
  if (mapped == MAP_FAILED) return Error::io(std::error_code(errno, std::generic_category()));
  madvise(mapped, length, MADV_SEQUENTIAL);
  base_ = static_cast<char*>(mapped);
  length_ = length;
  data_ = base_ + (offset - start);
  size_ = size;
  return Ok{};
}

void MappedFile::unmap() noexcept {
  if (base_ != nullptr) munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
  data_ = nullptr;
  size_ = 0;
}

bool MappedFile::contains(const void* address) const noexcept {
  const char* at = static_cast<const char*>(address);
  return base_ != nullptr && at >= base_ && at < base_ + length_;
}

namespace {

// The guarded reads of this thread, innermost first.
struct Guard {
  const MappedFile* file;
  std::jmp_buf jump;
  Guard* outer;
};
thread_local Guard* t_guard = nullptr;

std::mutex g_install;
struct sigaction g_previous;  // the handler before ours

void on_bus(int signal, siginfo_t* info, void* context) {
  // Only a fault of the kernel's (si_code > 0) names an address.
  if (info != nullptr && info->si_code > 0) {
    for (Guard* guard = t_guard; guard != nullptr; guard = guard->outer) {
      if (guard->file->contains(info->si_addr)) std::longjmp(guard->jump, 1);
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

bool guard_mapped_reads(const MappedFile& file, void (*work)(void*), void* context) {
  install_handler();
  Guard guard{&file, {}, t_guard};
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

}  // namespace quillmark
