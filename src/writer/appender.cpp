#include "writer/appender.hpp"

#include <cstring>

#include "record/manifest.hpp"
#include "record/scanner.hpp"
#include "record/warc_date.hpp"

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

Result<ByteBuffer> append_manifest(std::string_view warc, std::string_view manifest,
                                   std::string_view record_id) {
  Result<AppendPlan> plan = plan_append(warc);
  if (!plan) return std::move(plan).error();
  const std::string date = format_warc_date();
  const RecordFields fields = manifest_record_fields(manifest, record_id);
  ByteBuffer out;
  out.resize(appended_size(plan.value(), fields, date));
  write_appended(plan.value(), warc, fields, date, out.data());
  return out;
}

}  // namespace quillmark
