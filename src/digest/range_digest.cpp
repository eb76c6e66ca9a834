#include "digest/range_digest.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include "record/file/crc32.hpp"

namespace quillmark::digest {

struct RangeDigest::Shared {
  Shared(int fd, std::uint64_t start, Digests digests)
      : fd(fd),
        start(start),
        crc_wanted(digests != Digests::Sha256),
        sha_wanted(digests != Digests::Crc32),
        buffer(new char[kPiece]),
        bound(start),
        done(start) {}

  const int fd;
  const std::uint64_t start;
  const bool crc_wanted, sha_wanted;
  const std::unique_ptr<char[]> buffer;  // the thread's alone

  // The digests so far: the thread's alone until it has ended.
  std::uint32_t crc = 0;
  Sha256 sha;
  // How the thread failed, if it did: a read's errno, or a read that found
  // the end of the file at `done` before `bound`.
  int read_errno = 0;
  bool ended_early = false;

  std::mutex mutex;
  std::condition_variable wake;
  // Under `mutex`: the caller moves `bound` (and sets it to the end when
  // finishing); the thread moves `done`.
  std::uint64_t bound;
  std::uint64_t done;
  bool finishing = false;
  bool cancelled = false;

  // A piece's worth waiting is worth waking for; a finish needs the rest.
  bool ready() const noexcept { return cancelled || finishing || bound - done >= kPiece; }

  void run() noexcept;
  ssize_t read_at(std::uint64_t at, std::size_t size) noexcept;
};

ssize_t RangeDigest::Shared::read_at(std::uint64_t at, std::size_t size) noexcept {
  for (;;) {
    const ssize_t got = ::pread(fd, buffer.get(), size, static_cast<off_t>(at));
    if (got >= 0 || errno != EINTR) return got;
  }
}

void RangeDigest::Shared::run() noexcept {
  std::unique_lock lock(mutex);
  for (;;) {
    wake.wait(lock, [this] { return ready(); });
    if (cancelled || done == bound) return;  // done == bound: finished
    const std::uint64_t at = done;
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, bound - at));
    lock.unlock();
    const ssize_t got = read_at(at, size);
    if (got <= 0) {
      if (got < 0) read_errno = errno;
      ended_early = got == 0;
      lock.lock();
      return;
    }
    const std::string_view piece(buffer.get(), static_cast<std::size_t>(got));
    if (crc_wanted) crc = gzip::crc32(crc, piece);
    if (sha_wanted) sha.update(piece);
    lock.lock();
    done += static_cast<std::uint64_t>(got);
  }
}

namespace {

Error io_error(std::errc code) {
  return Error::io(std::make_error_code(code));
}

}  // namespace

Result<RangeDigest> RangeDigest::start(int fd, std::uint64_t start, Digests digests) {
  auto shared = std::make_unique<Shared>(fd, start, digests);
  try {
    std::thread thread([state = shared.get()] { state->run(); });
    return RangeDigest(std::move(shared), std::move(thread));
  } catch (const std::system_error& failure) {
    return Error::io(failure.code());
  }
}

RangeDigest::RangeDigest(std::unique_ptr<Shared> shared, std::thread thread) noexcept
    : shared_(std::move(shared)), thread_(std::move(thread)) {}

RangeDigest::RangeDigest(RangeDigest&&) noexcept = default;

RangeDigest& RangeDigest::operator=(RangeDigest&& other) noexcept {
  if (this != &other) {
    cancel();
    shared_ = std::move(other.shared_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

RangeDigest::~RangeDigest() {
  cancel();
}

void RangeDigest::advance(std::uint64_t to) noexcept {
  if (!shared_) return;
  std::lock_guard lock(shared_->mutex);
  if (shared_->finishing || to <= shared_->bound) return;
  shared_->bound = to;
  if (shared_->ready()) shared_->wake.notify_one();
}

void RangeDigest::cancel() noexcept {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->cancelled = true;
  }
  shared_->wake.notify_one();
  thread_.join();
}

Result<RangeDigests> RangeDigest::finish(std::uint64_t end) {
  if (!shared_) return io_error(std::errc::invalid_argument);
  if (!thread_.joinable()) {
    return io_error(shared_->cancelled ? std::errc::operation_canceled
                                       : std::errc::invalid_argument);
  }
  Shared& state = *shared_;
  {
    std::lock_guard lock(state.mutex);
    if (end < state.start || end < state.bound) {
      state.cancelled = true;
    } else {
      state.finishing = true;
      state.bound = end;
    }
  }
  state.wake.notify_one();
  thread_.join();
  if (!state.finishing) return io_error(std::errc::invalid_argument);
  if (state.read_errno != 0)
    return Error::io(std::error_code(state.read_errno, std::generic_category()));
  if (state.ended_early) {
    return Error::io(std::make_error_code(std::errc::io_error),
                     "the file ends at byte " + std::to_string(state.done) + ", before byte " +
                         std::to_string(state.bound));
  }
  RangeDigests digests;
  digests.size = end - state.start;
  if (state.crc_wanted) digests.crc32 = state.crc;
  if (state.sha_wanted) digests.sha256 = state.sha.finish();
  return digests;
}

}  // namespace quillmark::digest
