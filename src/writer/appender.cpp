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
  RecordScanner scanner(warc);
  RecordFrame frame;
  for (;;) {
    ManifestWatch watch;
    if (!scanner.next(frame, watch)) break;
    if (watch.is_manifest()) continue;
    // Records that touch are copied with one memcpy.
    if (!plan.kept.empty() && plan.kept.back().offset + plan.kept.back().length == frame.offset) {
      plan.kept.back().length += frame.length();
    } else {
      plan.kept.push_back(ByteRange{frame.offset, frame.length()});
    }
    plan.kept_bytes += frame.length();
  }
  if (scanner.error()) return std::move(*scanner.error());
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
