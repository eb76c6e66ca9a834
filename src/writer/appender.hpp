// append_manifest: an archive rebuilt without its manifest records and with
// one new manifest record at its end.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "record/builder.hpp"
#include "record/constants.hpp"
#include "writer/kept_ranges.hpp"

namespace quillmark {

// What to copy out of the archive: the kept records' byte ranges, with
// neighbouring ranges merged, and their total size.
struct AppendPlan {
  std::vector<ByteRange> kept;
  std::size_t kept_bytes = 0;
};

// The failure for an archive with no bytes at all: there is nothing to append to.
Error empty_archive_error();

// Parses the whole archive (without copying bodies) and plans the copy.
// Fails with "empty WARC data" on empty input, or with the parser's error.
Result<AppendPlan> plan_append(std::string_view warc);

// The fields of the new manifest record.
RecordFields manifest_record_fields(std::string_view manifest, std::string_view record_id) noexcept;

// Exact size of the rebuilt archive.
std::size_t appended_size(const AppendPlan& plan, const RecordFields& manifest_record,
                          std::string_view date) noexcept;

// Writes exactly appended_size(...) bytes at `out`.
void write_appended(const AppendPlan& plan, std::string_view warc,
                    const RecordFields& manifest_record, std::string_view date, char* out) noexcept;

// The rebuilt archive ready to be written, in one pass, into a buffer that the
// caller provides: the plan and the new manifest record, dated once the
// archive has parsed. The owned-buffer append_manifest below and the Python
// layer (which writes straight into a new bytes object) both append this way.
// It views `warc` and the texts it was prepared from, which must outlive it.
class PreparedAppend {
 public:
  std::size_t size() const noexcept {
    return appended_size(plan_, record_.fields(), record_.date());
  }
  // Writes exactly size() bytes at `out`.
  void write(char* out) const noexcept {
    write_appended(plan_, warc_, record_.fields(), record_.date(), out);
  }

 private:
  friend Result<PreparedAppend> prepare_append(std::string_view, std::string_view,
                                               std::string_view);
  PreparedAppend(std::string_view warc, AppendPlan plan, PreparedRecord record)
      : warc_(warc), plan_(std::move(plan)), record_(std::move(record)) {}

  std::string_view warc_;
  AppendPlan plan_;
  PreparedRecord record_;
};

// Fails as plan_append does; nothing is dated then.
Result<PreparedAppend> prepare_append(std::string_view warc, std::string_view manifest,
                                      std::string_view record_id);

// The rebuilt archive in a new buffer, dated with the current UTC time.
Result<ByteBuffer> append_manifest(std::string_view warc, std::string_view manifest,
                                   std::string_view record_id);

}  // namespace quillmark
