#include "writer/file/file_append.hpp"

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
  AppendCounts& counts;
  bool& output_failed;
  gzip::Deflater* deflater;  // null: the output is plain
  FileInput& input;

  Status output(Status status) {
    if (!status) output_failed = true;
    return status;
  }
  // Bytes made anew.
  Status write(std::string_view data) {
    if (!counts.first_moved) {
      if (std::optional<std::size_t> at = first_difference(data, 0); at) {
        counts.first_moved = out.position() + *at;
      }
    }
    return output(out.write(data));
  }
  // A range of the input, `start` its place in the archive read.
  Status copy(int fd, std::size_t file_offset, std::size_t start, std::size_t size) {
    if (!counts.first_moved && start != out.position()) {  // rare: kept bytes that moved
      constexpr std::size_t kStep = 4096;
      char moved[kStep];
      for (std::size_t done = 0; done < size && !counts.first_moved; done += kStep) {
        const std::size_t want = std::min(kStep, size - done);
        Result<std::size_t> got = input.read_at(start + done, moved, want);
        if (!got) return std::move(got).error();
        const std::string_view piece(moved, got.value());
        if (std::optional<std::size_t> at = first_difference(piece, done); at) {
          counts.first_moved = out.position() + done + *at;
        }
      }
    }
    return output(out.copy(fd, file_offset, size));
  }
  // Where `data`, to stand `ahead` bytes after the output's position, first
  // differs from the input at that place (the input's end included);
  // nullopt where it does not.
  std::optional<std::size_t> first_difference(std::string_view data, std::size_t ahead) {
    constexpr std::size_t kStep = 4096;
    char old[kStep];
    for (std::size_t done = 0; done < data.size(); done += kStep) {
      const std::size_t want = std::min(kStep, data.size() - done);
      Result<std::size_t> got = input.read_at(out.position() + ahead + done, old, want);
      const std::size_t have = got ? got.value() : 0;
      for (std::size_t i = 0; i < want; ++i) {
        if (i >= have || old[i] != data[done + i]) return done + i;
      }
    }
    return std::nullopt;
  }
};

// Kept records written one after another, each as it stands or as a gzip
// member of its own.
class RecordsSink final : public ScanSink {
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
class RangesSink final : public ScanSink {
 public:
  RangesSink(AppendTarget target, const FileInput& input) : target_(target), input_(input) {}
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
  Status finish() { return copy(ranges_.take()); }

 private:
  Status copy(std::optional<ByteRange> range) {
    if (!range) return Ok{};
    return target_.copy(input_.fd(), input_.start() + range->offset, range->offset, range->length);
  }

  AppendTarget target_;
  const FileInput& input_;
  KeptRanges ranges_;
  bool manifest_ = false;
};

// Gzip in, gzip out: members copied unchanged where they line up with records.
class MembersSink final : public ScanSink {
 public:
  MembersSink(AppendTarget target, const FileInput& input, std::optional<gzip::Inflater> inflater)
      : target_(target), input_(input), inflater_(inflater) {}
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
  // copying goes on beside the reading (on a pass on several threads, append
  // -o took 0.62 of the time on one; 0.58 with this). The copy ends on a
  // boundary of 64 KiB of the file, so that a file system that shares
  // extents shares whole blocks; the rest waits for the members after it.
  Status copy_ahead() {
    constexpr std::size_t kAhead = std::size_t{32} << 20;
    constexpr std::size_t kBlock = std::size_t{64} << 10;
    if (pending_->length < kAhead) return Ok{};
    const std::size_t start = input_.start() + pending_->offset;
    const std::size_t end = start + pending_->length;
    const std::size_t length = end - end % kBlock - start;
    const ByteRange ahead{pending_->offset, length};
    pending_->offset += length;
    pending_->length -= length;
    return target_.copy(input_.fd(), input_.start() + ahead.offset, ahead.offset, ahead.length);
  }

  // Copies the members still pending.
  Status finish() {
    if (!pending_) return Ok{};
    const ByteRange range = *pending_;
    pending_.reset();
    return target_.copy(input_.fd(), input_.start() + range.offset, range.offset, range.length);
  }

 private:
  // The group's records are read again and each kept one gets a member of
  // its own.
  Status recompress(const MemberGroup& group) {
    Result<FileInput> part = FileInput::open(input_.fd(), input_.start() + group.compressed_start,
                                             input_.start() + group.compressed_end);
    if (!part) return std::move(part).error();
    RecordsSink records(target_);
    ScanOptions options;
    options.inflater = inflater_;
    options.compressed = true;
    options.compressed_start = group.compressed_start;
    options.start = group.start;
    options.padding_allowed = false;
    FileScan scan(part.value(), records, options);
    Status status = scan.run();
    target_.counts.records_recompressed += records.kept();
    return status;
  }

  AppendTarget target_;
  const FileInput& input_;
  std::optional<gzip::Inflater> inflater_;
  std::optional<ByteRange> pending_;
};

}  // namespace

// The sink that FileAppend runs, whichever of the three it is.
class FileAppend::Sink {
 public:
  std::unique_ptr<gzip::Deflater> deflater;
  std::unique_ptr<ScanSink> sink;
  RangesSink* ranges = nullptr;
  MembersSink* members = nullptr;
};

FileAppend::FileAppend(FileInput& input, int out_fd, std::string manifest, std::string record_id,
                       const AppendOptions& options)
    : input_(input),
      out_(out_fd),
      manifest_(std::move(manifest)),
      record_id_(std::move(record_id)),
      options_(options),
      sink_(new Sink) {}

FileAppend::~FileAppend() = default;

std::size_t FileAppend::consumed() const noexcept {
  return scan_ ? scan_->consumed() : 0;
}

bool FileAppend::input_compressed() const noexcept {
  return scan_ && scan_->compressed();
}

Status FileAppend::run(std::size_t budget) {
  if (error_) return *error_;
  if (done_) return Ok{};
  if (!scan_) {
    char magic[2] = {};
    Result<std::size_t> got = input_.read_at(0, magic, sizeof magic);
    if (!got) return *(error_ = std::move(got).error());
    const bool gzip_in = gzip::starts_with_magic(std::string_view(magic, got.value()));
    if (options_.compress) sink_->deflater = gzip::make_deflater();
    AppendTarget target{out_, counts_, output_failed_, sink_->deflater.get(), input_};
    if (gzip_in && options_.compress) {
      auto members = std::make_unique<MembersSink>(target, input_, options_.inflater);
      sink_->members = members.get();
      sink_->sink = std::move(members);
    } else if (!gzip_in && !options_.compress) {
      auto ranges = std::make_unique<RangesSink>(target, input_);
      sink_->ranges = ranges.get();
      sink_->sink = std::move(ranges);
    } else {
      sink_->sink = std::make_unique<RecordsSink>(target);
    }
    ScanOptions scan_options;
    scan_options.inflater = options_.inflater;
    scan_options.compressed = gzip_in;
    scan_ = make_pass(input_, *sink_->sink, scan_options,
                      sink_->members != nullptr ? options_.threads : 1, options_.part_size);
  }
  Status status = scan_->run(budget);
  if (status && scan_->done()) status = finish();
  if (!status) error_ = status.error();
  return status;
}

Status FileAppend::finish() {
  if (sink_->ranges != nullptr) {
    if (Status status = sink_->ranges->finish(); !status) return status;
  }
  if (sink_->members != nullptr) {
    if (Status status = sink_->members->finish(); !status) return status;
  }
  if (scan_->content_size() == 0) return empty_archive_error();

  const PreparedRecord record(manifest_record_fields(manifest_, record_id_));
  std::string bytes(record.size(), '\0');
  record.write(bytes.data());
  const std::size_t member_offset = out_.position();
  Status status = Ok{};
  if (sink_->deflater) {
    std::string packed;
    sink_->deflater->begin_member();
    sink_->deflater->add(bytes, packed);
    sink_->deflater->end_member(packed);
    status = out_.write(packed);
    counts_.member_offset = member_offset;
    counts_.member_length = packed.size();
  } else {
    status = out_.write(bytes);
  }
  if (status) status = out_.flush();
  if (!status) {
    output_failed_ = true;
    return status;
  }
  counts_.written = out_.position();
  done_ = true;
  return Ok{};
}

}  // namespace quillmark
