#include "writer/appender.hpp"

#include <cstring>

#include "record/manifest.hpp"
#include "record/scanner.hpp"
#include "record/write_to_buffer.hpp"

namespace quillmark {

Error empty_archive_error() {
  return Error::invalid_record("empty WARC data");
}

Result<AppendPlan> plan_append(std::string_view warc) {
  if (warc.empty()) return empty_archive_error();

  AppendPlan plan;
  KeptRanges ranges;
  RecordScanner scanner(warc);
  RecordFrame frame;
  for (;;) {
    ManifestWatch watch;
    if (!scanner.next(frame, watch)) break;
    if (std::optional<ByteRange> closed =
            ranges.add(frame.offset, frame.length(), watch.is_manifest())) {
      plan.kept.push_back(*closed);
    }
  }
  if (scanner.error()) return std::move(*scanner.error());
  if (std::optional<ByteRange> last = ranges.take()) plan.kept.push_back(*last);
  plan.kept_bytes = ranges.kept_bytes();
  return plan;
}

RecordFields manifest_record_fields(std::string_view manifest,
                                    std::string_view record_id) noexcept {
  return RecordFields{MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, record_id, std::nullopt, manifest};
}

std::size_t appended_size(const AppendPlan& plan, const RecordFields& manifest_record,
                          std::string_view date) noexcept {
  return plan.kept_bytes + record_size(manifest_record, date);
}

void write_appended(const AppendPlan& plan, std::string_view warc,
                    const RecordFields& manifest_record, std::string_view date,
                    char* out) noexcept {
  for (const ByteRange& range : plan.kept) {
    std::memcpy(out, warc.data() + range.offset, range.length);
    out += range.length;
  }
  write_record(manifest_record, date, out);
}

Result<PreparedAppend> prepare_append(std::string_view warc, std::string_view manifest,
                                      std::string_view record_id) {
  Result<AppendPlan> plan = plan_append(warc);
  if (!plan) return std::move(plan).error();
  return PreparedAppend(warc, std::move(plan).value(),
                        PreparedRecord(manifest_record_fields(manifest, record_id)));
}

Result<ByteBuffer> append_manifest(std::string_view warc, std::string_view manifest,
                                   std::string_view record_id) {
  Result<PreparedAppend> prepared = prepare_append(warc, manifest, record_id);
  if (!prepared) return std::move(prepared).error();
  return write_to_buffer(prepared.value());
}

}  // namespace quillmark
