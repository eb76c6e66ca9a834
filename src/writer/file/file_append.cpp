#include "writer/file/file_append.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

#include "record/builder.hpp"
#include "record/file/gzip_header.hpp"
#include "record/file/parallel_scan.hpp"
#include "writer/appender.hpp"
#include "writer/file/gzip_deflater.hpp"
#include "writer/kept_ranges.hpp"

namespace quillmark {
namespace {

// Compressed bytes are written on once this many have gathered.
constexpr std::size_t kPackedBatch = std::size_t{1} << 20;

// What every sink of an append shares: the output, the counts, and whether
// the last failure was the output's.
struct AppendTarget {
  OutputFile& out;
  std::size_t out_start;  // where the archive starts in the output
  AppendCounts& counts;
  bool& output_failed;
  gzip::Deflater* deflater;  // null: the output is plain
  FileInput& input;

  Status output(Status status) {
    if (!status) output_failed = true;
    return status;
  }
  // The archive position of the output's next byte.
  std::size_t here() const noexcept { return out.position() - out_start; }
  // Bytes made anew.
  Status write(std::string_view data) {
    if (!counts.moved_from) note_difference(data, 0);
    return output(out.write(data));
  }
  // A range of the input, copied as it stands.
  Status copy(const ByteRange& range) {
    if (!counts.moved_from && range.offset != here()) {  // rare: kept bytes that moved
      constexpr std::size_t kStep = 4096;
      char moved[kStep];
      for (std::size_t done = 0; done < range.length && !counts.moved_from; done += kStep) {
        const std::size_t want = std::min(kStep, range.length - done);
        Result<std::size_t> got = input.read_at(range.offset + done, moved, want);
        if (!got) return std::move(got).error();
        note_difference(std::string_view(moved, got.value()), done);
      }
    }
    return output(out.copy(input.fd(), input.file_start() + range.offset, range.length));
  }
  // Where `data`, to stand `ahead` bytes after the output's position, first
  // differs from the input at that place (the input's end included), if it
  // does, is where the output moved from.
  void note_difference(std::string_view data, std::size_t ahead) {
    constexpr std::size_t kStep = 4096;
    char old[kStep];
    for (std::size_t done = 0; done < data.size(); done += kStep) {
      const std::size_t want = std::min(kStep, data.size() - done);
      Result<std::size_t> got = input.read_at(here() + ahead + done, old, want);
      const std::size_t have = got ? got.value() : 0;
      for (std::size_t i = 0; i < want; ++i) {
        if (i >= have || old[i] != data[done + i]) {
          counts.moved_from = here() + ahead + done + i;
          return;
        }
      }
    }
  }
};

// Kept records written one after another, each as it stands or as a gzip
// member of its own.
class RecordsSink final : public FileAppend::Sink {
 public:
  explicit RecordsSink(AppendTarget target) : target_(target) {}

  std::size_t kept() const noexcept { return kept_; }

  bool wants_body(const RecordStart& record) const override { return !record.manifest; }

  Status record_begin(const RecordStart& record) override {
    keeping_ = !record.manifest;
    if (!keeping_) return Ok{};
    if (target_.deflater != nullptr) target_.deflater->begin_member();
    return write(record.block);
  }

  Status record_body(std::string_view piece) override { return write(piece); }

  Status record_end(std::size_t, std::size_t length, std::string_view separator) override {
    if (!keeping_) {
      ++target_.counts.manifests_removed;
      return Ok{};
    }
    keeping_ = false;
    ++kept_;
    ++target_.counts.records_kept;
    target_.counts.manifest_offset += length;
    if (Status status = write(separator); !status) return status;
    if (target_.deflater == nullptr) return Ok{};
    target_.deflater->end_member(packed_);
    return write_packed();
  }

 private:
  Status write(std::string_view data) {
    if (target_.deflater == nullptr) return target_.write(data);
    target_.deflater->add(data, packed_);
    return packed_.size() >= kPackedBatch ? write_packed() : Status(Ok{});
  }
  Status write_packed() {
    Status status = target_.write(packed_);
    packed_.clear();
    return status;
  }

  AppendTarget target_;
  std::string packed_;
  bool keeping_ = false;
  std::size_t kept_ = 0;
};

// Plain in, plain out: kept records copied as byte ranges of the input.
class RangesSink final : public FileAppend::Sink {
 public:
  explicit RangesSink(AppendTarget target) : target_(target) {}
  bool wants_blocks() const override { return false; }

  Status record_begin(const RecordStart& record) override {
    manifest_ = record.manifest;
    return Ok{};
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view) override {
    if (manifest_) {
      ++target_.counts.manifests_removed;
    } else {
      ++target_.counts.records_kept;
      target_.counts.manifest_offset += length;
    }
    return copy(ranges_.add(offset, length, manifest_));
  }
  Status finish() override { return copy(ranges_.take()); }

 private:
  Status copy(std::optional<ByteRange> range) { return range ? target_.copy(*range) : Ok{}; }

  AppendTarget target_;
  KeptRanges ranges_;
  bool manifest_ = false;
};

// Gzip in, gzip out: members copied unchanged where they line up with records.
class MembersSink final : public FileAppend::Sink {
 public:
  MembersSink(AppendTarget target, std::optional<gzip::Inflater> inflater)
      : target_(target), inflater_(inflater) {}
  bool wants_blocks() const override { return false; }

  Status group_closed(const MemberGroup& group) override {
    if (group.manifests == 0) {
      // Nothing to remove: the members stay as they are, also where a record
      // spans several of them or one holds several records.
      target_.counts.members_copied += group.members;
      target_.counts.records_kept += group.records;
      target_.counts.manifest_offset += group.end - group.start;  // gaps inside too
      if (pending_ && pending_->end() == group.compressed_start) {
        pending_->length += group.compressed_end - group.compressed_start;
        return copy_ahead();
      }
      if (Status status = finish(); !status) return status;
      pending_ = ByteRange{group.compressed_start, group.compressed_end - group.compressed_start};
      return Ok{};
    }
    if (group.records == group.manifests) {
      target_.counts.manifests_removed += group.manifests;  // nothing kept: the members go
      return Ok{};
    }
    if (Status status = finish(); !status) return status;
    return recompress(group);
  }

  // Copies most of a long run of kept members already, so that the kernel's
  // copying goes on beside the reading. The copy ends on a
  // boundary of 64 KiB of the file, so that a file system that shares
  // extents shares whole blocks; the rest waits for the members after it.
  Status copy_ahead() {
    constexpr std::size_t kAhead = std::size_t{32} << 20;
    constexpr std::size_t kBlock = std::size_t{64} << 10;
    if (pending_->length < kAhead) return Ok{};
    const std::size_t start = target_.input.file_start() + pending_->offset;
    const std::size_t end = start + pending_->length;
    const ByteRange ahead{pending_->offset, end - end % kBlock - start};
    pending_->offset += ahead.length;
    pending_->length -= ahead.length;
    return target_.copy(ahead);
  }

  // Copies the members still pending.
  Status finish() override {
    if (!pending_) return Ok{};
    const ByteRange range = *pending_;
    pending_.reset();
    return target_.copy(range);
  }

 private:
  // The group's records are read again and each kept one gets a member of
  // its own.
  Status recompress(const MemberGroup& group) {
    RecordsSink records(target_);
    ScanOptions options;
    options.inflater = inflater_;
    options.padding_allowed = false;
    Result<std::unique_ptr<PartScan>> scan = PartScan::open(
        target_.input, group.compressed_start, group.compressed_end, group.start, records, options);
    if (!scan) return std::move(scan).error();
    Status status = Ok{};
    do {  // a read a signal cuts short is made again
      status = scan.value()->run();
    } while (status && !scan.value()->done());
    target_.counts.records_recompressed += records.kept();
    return status;
  }

  AppendTarget target_;
  std::optional<gzip::Inflater> inflater_;
  std::optional<ByteRange> pending_;
};

}  // namespace

FileAppend::FileAppend(FileInput& input, OutputFile& out, std::optional<std::string> manifest,
                       std::string record_id, const AppendOptions& options)
    : input_(input),
      out_(out),
      out_start_(out.position()),
      manifest_(std::move(manifest)),
      record_id_(std::move(record_id)),
      options_(options) {}

FileAppend::~FileAppend() {
  if (output_digest_) out_.unfollow();
}

// A failure ends the append for good: no digest reads its files any more.
Status FileAppend::failed(Status status) {
  if (status) return status;
  error_ = status.error();
  if (input_digest_) input_digest_->cancel();
  if (output_digest_) {
    out_.unfollow();
    output_digest_->cancel();
  }
  return status;
}

Status FileAppend::run(std::size_t budget) {
  if (error_) return *error_;
  if (done_ || waiting_) return Ok{};
  if (!scan_) {
    if (Status status = start(); !status) return failed(std::move(status));
  }
  Status status = scan_->run(budget);
  if (status && scan_->done()) status = end_of_input();
  return failed(std::move(status));
}

Status FileAppend::finish(std::string manifest) {
  if (error_) return *error_;
  if (!waiting_) return Error::io(std::make_error_code(std::errc::invalid_argument));
  waiting_ = false;
  return failed(write_record(manifest));
}

Status FileAppend::start() {
  char magic[2] = {};
  Result<std::size_t> got = input_.read_at(0, magic, sizeof magic);
  if (!got) return std::move(got).error();
  const bool gzip_in = gzip::starts_with_magic(std::string_view(magic, got.value()));
  if (options_.compress) deflater_ = gzip::make_deflater();
  const AppendTarget target{out_, out_start_, counts_, output_failed_, deflater_.get(), input_};
  const bool members = gzip_in && options_.compress;
  if (members) {
    sink_ = std::make_unique<MembersSink>(target, options_.inflater);
  } else if (!gzip_in && !options_.compress) {
    sink_ = std::make_unique<RangesSink>(target);
  } else {
    sink_ = std::make_unique<RecordsSink>(target);
  }
  ScanSink* sink = sink_.get();
  if (options_.keep_old_manifest) {
    old_manifest_ = std::make_unique<ManifestKeeper>();
    pairs_[0] = std::make_unique<SinkPair>(*sink, *old_manifest_);
    sink = pairs_[0].get();
  }
  if (options_.input_digests.any()) {
    Result<std::unique_ptr<InputDigest>> digest =
        InputDigest::start(input_, options_.input_digests);
    if (!digest) return std::move(digest).error();
    input_digest_ = std::move(digest).value();
    pairs_[1] = std::make_unique<SinkPair>(*sink, *input_digest_);
    sink = pairs_[1].get();
  }
  if (options_.output_digests) {
    if (Status status = start_output_digest(); !status) {
      output_failed_ = true;
      return status;
    }
  }
  ScanOptions scan_options;
  scan_options.inflater = options_.inflater;
  scan_options.compressed = gzip_in;
  scan_ =
      make_pass(input_, *sink, scan_options, members ? options_.threads : 1, options_.part_size);
  return Ok{};
}

// The output is read back, by position, right behind the writer.
Status FileAppend::start_output_digest() {
  struct stat info;
  const int flags = fcntl(out_.fd(), F_GETFL);
  if (fstat(out_.fd(), &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
      (flags & O_ACCMODE) == O_WRONLY) {
    return Error::io(std::make_error_code(std::errc::bad_file_descriptor),
                     "the output is read back for its digests: it must be a regular file open "
                     "for reading");
  }
  Result<std::uint64_t> offset = out_.file_offset();
  if (!offset) return std::move(offset).error();
  output_base_ = offset.value();
  Result<digest::RangeDigest> digest =
      digest::RangeDigest::start(out_.fd(), output_base_, digest::Digests::Both);
  if (!digest) return std::move(digest).error();
  output_digest_.emplace(std::move(digest).value());
  return out_.follow(*output_digest_);
}

Status FileAppend::end_of_input() {
  if (Status status = sink_->finish(); !status) return status;
  if (scan_->content_size() == 0) return empty_archive_error();
  if (old_manifest_) counts_.old_manifest = std::move(old_manifest_->manifest());
  if (input_digest_) {
    Result<InputDigests> digests = input_digest_->finish();
    if (!digests) return std::move(digests).error();
    input_digests_ = std::move(digests).value();
  }
  counts_.written = out_.position() - out_start_;  // so far: what comes before the new record
  if (output_digest_) {
    output_digests_ = OutputDigests{};
    output_digests_->covered_size = counts_.written;
    output_digest_->mark(output_base_ + counts_.written);
  }
  if (manifest_) return write_record(*manifest_);
  // Deferred: what was kept is in the file, and digested, before the wait.
  Status status = out_.flush();
  if (status && output_digest_) {
    Result<digest::RangeDigests> covered = output_digest_->marked();
    if (covered) {
      output_digests_->covered_sha256 = covered->sha256;
    } else {
      status = std::move(covered).error();
    }
  }
  if (!status) {
    output_failed_ = true;
    return status;
  }
  waiting_ = true;
  return Ok{};
}

Status FileAppend::write_record(const std::string& manifest) {
  const PreparedRecord record(manifest_record_fields(manifest, record_id_));
  std::string bytes(record.size(), '\0');
  record.write(bytes.data());
  const std::size_t member_offset = out_.position() - out_start_;
  Status status = Ok{};
  if (deflater_) {
    std::string packed;
    deflater_->begin_member();
    deflater_->add(bytes, packed);
    deflater_->end_member(packed);
    status = out_.write(packed);
    counts_.member_offset = member_offset;
    counts_.member_length = packed.size();
  } else {
    status = out_.write(bytes);
  }
  if (status) status = out_.flush();
  if (status) counts_.written = out_.position() - out_start_;
  if (status && output_digest_) {
    Result<digest::RangeDigests> whole = output_digest_->finish(output_base_ + counts_.written);
    Result<digest::RangeDigests> covered = whole ? output_digest_->marked() : whole;
    out_.unfollow();
    if (!covered) {
      status = std::move(covered).error();
    } else {
      output_digests_->whole = std::move(whole).value();
      output_digests_->covered_sha256 = covered->sha256;
    }
  }
  if (!status) {
    output_failed_ = true;
    return status;
  }
  done_ = true;
  return Ok{};
}

}  // namespace quillmark
