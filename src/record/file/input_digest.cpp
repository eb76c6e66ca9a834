#include "record/file/input_digest.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace quillmark {
namespace {

// The digest is told of the bound once this much more is there, not at every
// record of a file of tiny ones.
constexpr std::size_t kFollowStep = std::size_t{256} << 10;

}  // namespace

Result<std::unique_ptr<InputDigest>> InputDigest::start(const FileInput& input,
                                                        const InputDigestOptions& options) {
  if (!options.any() || !input.seekable()) {
    return Error::io(std::make_error_code(std::errc::invalid_argument));
  }
  const bool sha = options.sha256 || options.covered;
  const digest::Digests kind = options.crc32 && sha ? digest::Digests::Both
                               : options.crc32      ? digest::Digests::Crc32
                                                    : digest::Digests::Sha256;
  Result<digest::RangeDigest> digest =
      digest::RangeDigest::start(input.fd(), input.file_start(), kind);
  if (!digest) return std::move(digest).error();
  return std::unique_ptr<InputDigest>(
      new InputDigest(input.file_start(), *input.size(), options, std::move(digest).value()));
}

void InputDigest::follow(std::size_t to) noexcept {
  if (to <= bound_) return;
  bound_ = to;
  if (bound_ - advanced_ >= kFollowStep) {
    advanced_ = bound_;
    digest_.advance(file_start_ + bound_);
  }
}

Status InputDigest::record_begin(const RecordStart& record) {
  in_record_ = true;
  record_offset_ = record.offset;
  // Where the record starts, or the gzip member holding its first byte: the
  // one after the last member that ended, or one its header went past.
  const MemberStart member = record.offset >= member_end_.at ? member_end_ : header_member_;
  const std::size_t start = compressed_ ? member.compressed : record.offset;
  if (record.manifest) {
    covered_ = CoveredBytes{};
    covered_->end = start;
    covered_->last_record = true;
    if (compressed_) covered_->own_member = record.offset == member.at;
    manifest_offset_ = record.offset;
    manifest_end_.reset();
    // Records and members come in order: the bound is at or before `start`,
    // as a mark must be.
    if (options_.covered) digest_.mark(file_start_ + start);
  } else if (covered_) {
    covered_->last_record = false;
  }
  follow(start);
  return Ok{};
}

Status InputDigest::record_end(std::size_t offset, std::size_t length, std::string_view) {
  in_record_ = false;
  if (covered_ && offset == manifest_offset_) manifest_end_ = offset + length;
  // The next record begins at the earliest where this one ends.
  if (!compressed_) follow(offset + length);
  return Ok{};
}

Status InputDigest::member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
  last_member_ = member;
  any_member_ = true;
  member_end_ = MemberStart{member.end, member.compressed_end};
  // A header that goes on past the member: the record it begins starts in
  // this member, if it is the first the header goes past, or in an earlier one.
  const bool header_open = open_record && !(in_record_ && record_offset_ == *open_record);
  if (header_open && member.start <= *open_record && *open_record < member.end) {
    header_member_ = MemberStart{member.start, member.compressed_start};
  }
  follow(header_open ? header_member_.compressed : member_end_.compressed);
  return Ok{};
}

Result<InputDigests> InputDigest::finish() {
  InputDigests result;
  result.size = size_;
  const bool whole = options_.crc32 || options_.sha256;
  const bool covered = options_.covered && covered_;
  if (!whole && !covered) {
    digest_.cancel();
    return result;
  }
  const std::size_t end = whole ? size_ : std::max(bound_, covered_->end);
  Result<digest::RangeDigests> digests = digest_.finish(file_start_ + end);
  if (!digests) return std::move(digests).error();
  if (options_.crc32) result.crc32 = digests->crc32;
  if (options_.sha256) result.sha256 = digests->sha256;
  if (!covered) return result;

  Result<digest::RangeDigests> at_mark = digest_.marked();
  if (!at_mark) return std::move(at_mark).error();
  covered_->sha256 = at_mark->sha256;
  if (manifest_end_ && covered_->last_record) {
    if (!compressed_) {
      covered_->nothing_after = *manifest_end_ == size_;
    } else {
      // Nothing inflates to bytes after it, no member (not even an empty one)
      // starts after it, and no padding follows the last member.
      covered_->nothing_after = any_member_ && last_member_.end == *manifest_end_ &&
                                last_member_.start < *manifest_end_ &&
                                last_member_.compressed_end == size_;
    }
  }
  result.covered = covered_;
  return result;
}

}  // namespace quillmark
