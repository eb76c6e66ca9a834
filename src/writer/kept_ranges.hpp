// What an append keeps of an archive: every record that is not a manifest
// record, exactly as it stands, in archive order; the CR and LF bytes between
// records belong to no record and are left out. Records that touch are kept
// as one byte range, so that a copy takes one call (or one kernel copy).
//
// The appender for archives in memory and the appender for files both decide
// through this one rule.
#pragma once

#include <cstddef>
#include <optional>

namespace quillmark {

struct ByteRange {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t end() const noexcept { return offset + length; }
};

class KeptRanges {
 public:
  // The next record of the archive. Returns the range that this record
  // closes (one that can no longer grow), if any.
  std::optional<ByteRange> add(std::size_t offset, std::size_t length, bool manifest) noexcept {
    if (manifest) {
      ++removed_;
      return take();
    }
    ++kept_;
    kept_bytes_ += length;
    if (open_ && open_->end() == offset) {
      open_->length += length;
      return std::nullopt;
    }
    std::optional<ByteRange> closed = take();
    open_ = ByteRange{offset, length};
    return closed;
  }

  // The range still open, at the end of the archive.
  std::optional<ByteRange> take() noexcept {
    std::optional<ByteRange> closed = open_;
    open_.reset();
    return closed;
  }

  std::size_t kept() const noexcept { return kept_; }
  std::size_t removed() const noexcept { return removed_; }
  std::size_t kept_bytes() const noexcept { return kept_bytes_; }

 private:
  std::optional<ByteRange> open_;
  std::size_t kept_ = 0;
  std::size_t removed_ = 0;
  std::size_t kept_bytes_ = 0;
};

}  // namespace quillmark
