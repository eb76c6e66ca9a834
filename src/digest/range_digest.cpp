#include "digest/range_digest.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
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
  bool ended = false;  // the thread has returned
  // The mark: where the digests are wanted too, whether they were taken
  // there, whether the caller waits for them, and whether a mark was asked
  // for behind the bound (which the thread may have read past).
  std::optional<std::uint64_t> mark;
  bool marked = false;
  bool awaited = false;
  bool mark_refused = false;
  RangeDigests at_mark;
  std::condition_variable reached;  // the mark was passed, or the thread ended

  // A piece's worth waiting is worth waking for; a finish needs the rest, a
  // caller waiting for the mark the bytes before it.
  bool ready() const noexcept {
    return cancelled || finishing || bound - done >= kPiece ||
           (mark && !marked && (done == *mark || (awaited && *mark <= bound)));
  }
  // Under `mutex`: the digests so far are taken if the thread is at the mark.
  void take_mark() noexcept;
  // Under `mutex`, once the thread has ended: why it failed, if it did.
  std::optional<Error> failure() const;

  void run() noexcept;
  ssize_t read_at(std::uint64_t at, std::size_t size) noexcept;
};

void RangeDigest::Shared::take_mark() noexcept {
  if (!mark || marked || done != *mark) return;
  at_mark.size = done - start;
  at_mark.crc32 = crc_wanted ? crc : 0;
  at_mark.sha256 = sha_wanted ? sha.finish() : Sha256Digest{};
  marked = true;
  reached.notify_all();
}

std::optional<Error> RangeDigest::Shared::failure() const {
  if (read_errno != 0) return Error::io(std::error_code(read_errno, std::generic_category()));
  if (ended_early) {
    return Error::io(
        std::make_error_code(std::errc::io_error),
        "the file ends at byte " + std::to_string(done) + ", before byte " + std::to_string(bound));
  }
  return std::nullopt;
}

ssize_t RangeDigest::Shared::read_at(std::uint64_t at, std::size_t size) noexcept {
  for (;;) {
    const ssize_t got = ::pread(fd, buffer.get(), size, static_cast<off_t>(at));
    if (got >= 0 || errno != EINTR) return got;
  }
}

void RangeDigest::Shared::run() noexcept {
  std::unique_lock lock(mutex);
  const auto end_thread = [this] {
    ended = true;
    reached.notify_all();
  };
  for (;;) {
    take_mark();
    wake.wait(lock, [this] { return ready(); });
    take_mark();
    if (cancelled || (finishing && done == bound)) return end_thread();
    if (done == bound) continue;  // woken for the mark alone
    const std::uint64_t at = done;
    // A piece stops at the mark, so that the digests there can be taken.
    const std::uint64_t stop = mark && !marked && *mark > at ? std::min(bound, *mark) : bound;
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, stop - at));
    lock.unlock();
    const ssize_t got = read_at(at, size);
    if (got <= 0) {
      if (got < 0) read_errno = errno;
      ended_early = got == 0;
      lock.lock();
      return end_thread();
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

void RangeDigest::mark(std::uint64_t at) noexcept {
  if (!shared_) return;
  std::lock_guard lock(shared_->mutex);
  Shared& state = *shared_;
  if (state.finishing || state.ended) return;
  state.mark_refused = at < state.bound;
  state.mark = at;
  state.marked = false;
  if (state.ready()) state.wake.notify_one();
}

Result<RangeDigests> RangeDigest::marked() {
  if (!shared_) return io_error(std::errc::invalid_argument);
  Shared& state = *shared_;
  std::unique_lock lock(state.mutex);
  if (!state.mark || state.mark_refused) return io_error(std::errc::invalid_argument);
  if (!state.marked && !state.ended) {
    if (*state.mark > state.bound) return io_error(std::errc::invalid_argument);  // never reached
    state.awaited = true;
    state.wake.notify_one();
    state.reached.wait(lock, [&] { return state.marked || state.ended; });
    state.awaited = false;
  }
  if (state.marked) return state.at_mark;
  if (state.cancelled) return io_error(std::errc::operation_canceled);
  if (std::optional<Error> failed = state.failure()) return *std::move(failed);
  return io_error(std::errc::invalid_argument);  // finished before the mark
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
  if (std::optional<Error> failed = state.failure()) return *std::move(failed);
  RangeDigests digests;
  digests.size = end - state.start;
  if (state.crc_wanted) digests.crc32 = state.crc;
  if (state.sha_wanted) digests.sha256 = state.sha.finish();
  return digests;
}

}  // namespace quillmark::digest
