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
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "error/error.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/input.hpp"
#include "record/file/pass.hpp"
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
};

struct AppendOptions {
  bool compress = false;  // write gzip
  std::optional<gzip::Inflater> inflater;
  // Threads to read a gzip input on, when it is written as gzip (see
  // parallel_scan.hpp); other appends read on one.
  unsigned threads = 1;
  std::size_t part_size = 0;  // of a parallel pass; 0: its own choice
};

class FileAppend {
 public:
  // `input` is seekable; `out` is written from where it stands, and the
  // places in the counts are those of the archive written, from there on.
  // Throws std::bad_alloc.
  FileAppend(FileInput& input, OutputFile& out, std::string manifest, std::string record_id,
             const AppendOptions& options);

  // As FileScan::run; once the input is done, writes the new record. Fails
  // with "empty WARC data" for an input with no content at all.
  Status run(std::size_t budget = 0);
  bool done() const noexcept { return done_; }
  std::size_t consumed() const noexcept { return scan_ ? scan_->consumed() : 0; }
  bool input_compressed() const noexcept { return scan_ && scan_->compressed(); }
  const AppendCounts& counts() const noexcept { return counts_; }
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
  Status finish();

  FileInput& input_;
  OutputFile& out_;
  std::size_t out_start_;  // where the archive starts in the output
  std::string manifest_;
  std::string record_id_;
  AppendOptions options_;
  std::unique_ptr<gzip::Deflater> deflater_;
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<Pass> scan_;
  AppendCounts counts_;
  bool done_ = false;
  bool output_failed_ = false;
  std::optional<Error> error_;
};

}  // namespace quillmark
