// FileAppend: an archive file rebuilt as append_manifest rebuilds an archive
// in memory: every record that is not a manifest record, exactly as it
// stands, in order, then one new manifest record.
//
// It is one pass over the input (make_pass) with a sink that writes as it goes:
//  - plain in, plain out: each run of kept records is a byte range of the
//    input, copied by the kernel; their bodies are never read;
//  - gzip in, gzip out: members are copied unchanged, compressed bytes and
//    all, wherever they line up with records (see member_groups.hpp): a group
//    of members without a manifest record is copied whole, one holding only
//    manifest records is left out, and the kept records of any other group
//    are read again and compressed anew, one member each;
//  - otherwise each kept record is written, compressed into a member of its
//    own when the output is gzip.
// CR and LF bytes between records are left out, except inside members copied
// whole. The new manifest record comes last, as a member of its own when the
// output is gzip. The input is a regular file, or a byte range of one: kept
// ranges are copied from it by position.
//
// Beside the pass, as asked: the digests of the input (input_digest.hpp); the
// body of the last manifest record removed, the old store; and the CRC-32
// and SHA-256 of everything written, with the SHA-256 of what comes before
// the new record (its member), by a range digest that reads the output back
// right behind the writer. A signature over those bytes goes into the new
// record itself, so the manifest may be deferred: the append then stops once
// everything kept is written (waiting()), and finish() takes the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "digest/range_digest.hpp"
#include "error/error.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/input.hpp"
#include "record/file/input_digest.hpp"
#include "record/file/manifest_keeper.hpp"
#include "record/file/pass.hpp"
#include "record/file/sink_pair.hpp"
#include "writer/file/gzip_deflater.hpp"
#include "writer/file/output_file.hpp"

namespace quillmark {

struct AppendCounts {
  std::size_t records_kept = 0;
  std::size_t manifests_removed = 0;
  std::size_t members_copied = 0;            // gzip members copied unchanged
  std::size_t records_recompressed = 0;      // kept records whose member was made anew
  std::size_t manifest_offset = 0;           // the new record's place, uncompressed
  std::optional<std::size_t> member_offset;  // its gzip member's place in the output
  std::optional<std::size_t> member_length;
  std::size_t written = 0;  // bytes written to the output
  // The first place of the output, before the new record, where it differs
  // from the input (kept bytes that moved, or bytes made anew); none when
  // the output begins with all it kept of the input where it stood: an index
  // of the input then still holds for every kept record.
  std::optional<std::size_t> moved_from;
  // The body of the last manifest record removed, where it was asked for.
  std::optional<std::string> old_manifest;
};

// The digests of what an append wrote, from the output's position when it began.
struct OutputDigests {
  std::size_t covered_size = 0;  // the bytes before the new record (or its member)
  digest::Sha256Digest covered_sha256{};
  std::optional<digest::RangeDigests> whole;  // of everything written, once done
};

struct AppendOptions {
  bool compress = false;  // write gzip
  std::optional<gzip::Inflater> inflater;
  // Threads to read a gzip input on, when it is written as gzip (see
  // parallel_scan.hpp); other appends read on one.
  unsigned threads = 1;
  std::size_t part_size = 0;  // of a parallel pass; 0: its own choice
  InputDigestOptions input_digests;
  // The output must then be a regular file open for reading too.
  bool output_digests = false;
  bool keep_old_manifest = false;
};

class FileAppend {
 public:
  // `input` is seekable; `out` is written from where it stands, and the
  // places in the counts are those of the archive written, from there on.
  // No `manifest`: it is deferred (see finish()). Throws std::bad_alloc.
  FileAppend(FileInput& input, OutputFile& out, std::optional<std::string> manifest,
             std::string record_id, const AppendOptions& options);
  ~FileAppend();

  // As FileScan::run; once the input is done, writes the new record, or with
  // a deferred manifest waits. Fails with "empty WARC data" for an input with
  // no content at all.
  Status run(std::size_t budget = 0);
  // Whether everything kept is written and the append waits for its store:
  // the counts so far, the digests of the input and output_digests()'s
  // covered part are known.
  bool waiting() const noexcept { return waiting_; }
  // Writes the new record with `manifest` as its body, where waiting().
  Status finish(std::string manifest);
  bool done() const noexcept { return done_; }
  std::size_t consumed() const noexcept { return scan_ ? scan_->consumed() : 0; }
  bool input_compressed() const noexcept { return scan_ && scan_->compressed(); }
  bool output_compressed() const noexcept { return options_.compress; }
  const AppendCounts& counts() const noexcept { return counts_; }
  // Where asked for: the input's once the input is done, the output's once
  // waiting() (its covered part) or done().
  const std::optional<InputDigests>& input_digests() const noexcept { return input_digests_; }
  const std::optional<OutputDigests>& output_digests() const noexcept { return output_digests_; }
  std::size_t parts() const noexcept { return scan_ ? scan_->parts() : 1; }
  // Whether the error run() returned came from writing the output.
  bool output_failed() const noexcept { return output_failed_; }

  // The sink of the pass, one of three; what it holds back is written at
  // the end.
  class Sink : public ScanSink {
   public:
    virtual Status finish() { return Ok{}; }
  };

 private:
  Status start();
  Status start_output_digest();
  Status end_of_input();
  Status write_record(const std::string& manifest);
  Status failed(Status status);

  FileInput& input_;
  OutputFile& out_;
  std::size_t out_start_;  // where the archive starts in the output
  std::optional<std::string> manifest_;
  std::string record_id_;
  AppendOptions options_;
  std::unique_ptr<gzip::Deflater> deflater_;
  std::unique_ptr<Sink> sink_;
  // Beside the sink, as asked: the old store and the input's digests.
  std::unique_ptr<ManifestKeeper> old_manifest_;
  std::unique_ptr<InputDigest> input_digest_;
  std::unique_ptr<SinkPair> pairs_[2];
  std::unique_ptr<Pass> scan_;
  std::optional<digest::RangeDigest> output_digest_;
  std::uint64_t output_base_ = 0;  // the file offset of out_start_
  AppendCounts counts_;
  std::optional<InputDigests> input_digests_;
  std::optional<OutputDigests> output_digests_;
  bool waiting_ = false;
  bool done_ = false;
  bool output_failed_ = false;
  std::optional<Error> error_;
};

}  // namespace quillmark
