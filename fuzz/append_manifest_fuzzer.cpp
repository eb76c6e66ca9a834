// append_manifest on arbitrary archives, manifests and record ids. The output
// must read back as the archive's non-manifest records, unchanged and packed
// one after the other, plus one new manifest record that carries the manifest.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "append_input.hpp"
#include "fuzz_check.hpp"
#include "record/manifest.hpp"
#include "record/owned/parse_records.hpp"
#include "writer/appender.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

namespace {

// Record ids that a Python caller can pass (UTF-8) and that keep the header
// block readable (no LF) are the ones the read-back promise covers.
bool readable_record_id(std::string_view record_id) {
  return reference_is_utf8(record_id) && record_id.find('\n') == std::string_view::npos;
}

void check_read_back(const AppendInput& input, const std::vector<const WarcRecord*>& kept,
                     const ByteBuffer& out) {
  const auto reread = parse_records(out);
  QM_REQUIRE(reread.ok());
  const std::vector<WarcRecord>& records = reread.value();
  QM_REQUIRE(records.size() == kept.size() + 1);

  std::size_t offset = 0;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    QM_REQUIRE(records[i].offset == offset);
    QM_REQUIRE(records[i].length == kept[i]->length);
    QM_REQUIRE(records[i].headers == kept[i]->headers);
    QM_REQUIRE(records[i].body == kept[i]->body);
    QM_REQUIRE(!records[i].is_c2pa_manifest());
    QM_REQUIRE(std::string_view(out).substr(offset, kept[i]->length) ==
               input.warc.substr(kept[i]->offset, kept[i]->length));
    offset += kept[i]->length;
  }

  const WarcRecord& added = records.back();
  QM_REQUIRE(added.offset == offset);
  QM_REQUIRE(added.offset + added.length == out.size());
  QM_REQUIRE(added.is_c2pa_manifest());
  QM_REQUIRE(added.body == input.manifest);
  const std::string* id = added.headers.find("warc-record-id");
  QM_REQUIRE(id != nullptr && *id == "<" + std::string(input.record_id) + ">");

  const auto manifest = find_manifest(out);
  QM_REQUIRE(manifest.ok() && manifest.value() == input.manifest);

  // The sizing and writing steps, replayed with the date the call used, give
  // the very same bytes.
  const std::string* date = added.headers.find("warc-date");
  QM_REQUIRE(date != nullptr);
  const auto plan = plan_append(input.warc);
  QM_REQUIRE(plan.ok() && plan->kept_bytes == offset);
  const RecordFields fields = manifest_record_fields(input.manifest, input.record_id);
  QM_REQUIRE(appended_size(plan.value(), fields, *date) == out.size());
  ByteBuffer again(out.size(), '\0');
  write_appended(plan.value(), input.warc, fields, *date, again.data());
  QM_REQUIRE(again == out);

  // Appending to the output keeps the same records and replaces the manifest.
  const auto replan = plan_append(out);
  QM_REQUIRE(replan.ok() && replan->kept_bytes == offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const AppendInput input =
      split_append_input(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto out = append_manifest(input.warc, input.manifest, input.record_id);

  if (input.warc.empty()) {
    QM_REQUIRE(!out.ok());
    QM_REQUIRE(out.error().kind() == ErrorKind::InvalidRecord);
    QM_REQUIRE(out.error().display() == "invalid WARC record: empty WARC data");
    return 0;
  }
  const auto parsed = parse_records(input.warc);
  if (!parsed.ok()) {
    QM_REQUIRE(!out.ok());
    require_same_error(out.error(), parsed.error());
    return 0;
  }
  QM_REQUIRE(out.ok());

  std::vector<const WarcRecord*> kept;
  std::size_t kept_bytes = 0;
  for (const WarcRecord& record : parsed.value()) {
    if (record.is_c2pa_manifest()) continue;
    kept.push_back(&record);
    kept_bytes += record.length;
  }
  const ByteBuffer& bytes = out.value();
  QM_REQUIRE(bytes.size() > kept_bytes + input.manifest.size());
  QM_REQUIRE(bytes.compare(bytes.size() - 4, 4, "\r\n\r\n") == 0);
  QM_REQUIRE(std::string_view(bytes).substr(bytes.size() - 4 - input.manifest.size(),
                                            input.manifest.size()) == input.manifest);
  if (readable_record_id(input.record_id)) check_read_back(input, kept, bytes);
  return 0;
}
