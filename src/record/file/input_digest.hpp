// The digests of a pass's input, computed by a range digest (digest/
// range_digest.hpp) on a thread of its own that reads the file right behind
// the pass, from the page cache: the CRC-32 and SHA-256 of the whole input
// (a WARC stored in a package is checked against its ZIP entry and
// datapackage.json), and the SHA-256 of the bytes before the last manifest
// record, which a signature stored in that record covers.
//
// The covered bytes end where the last manifest record starts, in a plain
// file, or where the gzip member holding its first byte starts. The digest
// follows the pass only up to the start of the latest record (plain) or of
// its member (gzip), the earliest place a manifest record still to come could
// begin, and is marked at each manifest record's start: the mark of the last
// one gives the covered digest, from the same read as the rest.
//
// An InputDigest is a sink that watches a pass beside the command's own sink
// (sink_pair.hpp); it wants no blocks and no bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "digest/range_digest.hpp"
#include "record/file/input.hpp"
#include "record/file/scan_sink.hpp"

namespace quillmark {

struct InputDigestOptions {
  bool crc32 = false;    // of the whole input
  bool sha256 = false;   // of the whole input
  bool covered = false;  // the SHA-256 of the bytes before the last manifest record
  bool any() const noexcept { return crc32 || sha256 || covered; }
};

// The bytes before the last manifest record, and what stands after them.
struct CoveredBytes {
  std::size_t end = 0;  // input position where they end: the record's, or its member's start
  digest::Sha256Digest sha256{};
  bool last_record = false;        // no record begins after the manifest record
  bool nothing_after = false;      // no byte of the input follows it (no CR/LF, member, padding)
  std::optional<bool> own_member;  // gzip: whether the record starts a member of its own
};

struct InputDigests {
  std::size_t size = 0;  // of the input
  std::optional<std::uint32_t> crc32;
  std::optional<digest::Sha256Digest> sha256;
  // Asked for, and the input has a manifest record.
  std::optional<CoveredBytes> covered;
};

class InputDigest final : public ScanSink {
 public:
  // For a regular file (or a byte range of one), the pass over which must
  // outlive this. Io error when its thread cannot be started; EINVAL for an
  // input that is not a regular file, or when nothing is asked for.
  static Result<std::unique_ptr<InputDigest>> start(const FileInput& input,
                                                    const InputDigestOptions& options);

  void begin(bool compressed) override { compressed_ = compressed; }
  bool wants_blocks() const override { return false; }
  Status record_begin(const RecordStart& record) override;
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override;
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open_record) override;

  // Once the pass has read the whole input: waits for the digests. Call it
  // once; an Io error for a failed read (or a file cut short meanwhile).
  Result<InputDigests> finish();
  // Stops reading (a pass that failed): the input may be closed once the
  // pass returns.
  void cancel() noexcept { digest_.cancel(); }

 private:
  // A place where a gzip member starts: in the archive and in the input.
  struct MemberStart {
    std::size_t at = 0;
    std::size_t compressed = 0;
  };

  InputDigest(std::size_t file_start, std::size_t size, const InputDigestOptions& options,
              digest::RangeDigest digest) noexcept
      : file_start_(file_start), size_(size), options_(options), digest_(std::move(digest)) {}

  // Moves the digest's bound to input position `to`: bytes there exist, and
  // no manifest record still to come begins before it.
  void follow(std::size_t to) noexcept;

  std::size_t file_start_;
  std::size_t size_;
  InputDigestOptions options_;
  digest::RangeDigest digest_;
  std::size_t bound_ = 0;     // the furthest input position follow() was given
  std::size_t advanced_ = 0;  // the one the digest was last told of
  bool compressed_ = false;

  // Where the last member ended (the next one starts), and where the member
  // holding the first byte of the latest record whose header went past a
  // member's end starts.
  MemberStart member_end_;
  MemberStart header_member_;
  bool in_record_ = false;  // a record's header was framed and it has not ended
  std::size_t record_offset_ = 0;
  MemberSpan last_member_;
  bool any_member_ = false;

  // The last manifest record seen.
  std::optional<CoveredBytes> covered_;
  std::size_t manifest_offset_ = 0;
  std::optional<std::size_t> manifest_end_;
};

}  // namespace quillmark
