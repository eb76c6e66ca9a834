// parse_records and index_records on arbitrary bytes: both must agree with
// each other and with the reference reader, record for record or error for
// error, and their records must tile the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "record/manifest.hpp"
#include "record/owned/parse_records.hpp"
#include "record/record_index.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

namespace {

void check_records(std::string_view warc, const std::vector<WarcRecord>& records,
                   const RecordIndex& index, const ReferenceResult& expected) {
  QM_REQUIRE(expected.ok);
  QM_REQUIRE(records.size() == expected.records.size());
  QM_REQUIRE(index.records.size() == records.size());
  require_tiling(warc, records);
  require_tiling(warc, index.records);

  for (std::size_t i = 0; i < records.size(); ++i) {
    const WarcRecord& record = records[i];
    const RecordView& view = index.records[i];
    QM_REQUIRE(same_record(record, expected.records[i]));
    QM_REQUIRE(view.offset == record.offset && view.length == record.length);
    QM_REQUIRE(view.body == record.body);
    QM_REQUIRE(view.body.data() >= warc.data() &&
               view.body.data() + view.body.size() <= warc.data() + warc.size());
    QM_REQUIRE(view.first_field + view.field_count <= index.fields.size());
    QM_REQUIRE(map_of_fields(index, view) == record.headers);
    for (const auto& [name, value] : record.headers) {
      QM_REQUIRE(to_ascii_lower(name) == name);
      QM_REQUIRE(trim_white_space(value) == value);
    }

    // A record's own bytes, cut out of the archive, read back as that record
    // alone: the appender relies on this when it copies ranges verbatim.
    const auto alone = parse_records(warc.substr(record.offset, record.length));
    QM_REQUIRE(alone.ok() && alone->size() == 1);
    const WarcRecord& copy = alone->front();
    QM_REQUIRE(copy.offset == 0 && copy.length == record.length);
    QM_REQUIRE(copy.body == record.body && copy.headers == record.headers);

    const std::string* type = record.headers.find("warc-type");
    const std::string* content_type = record.headers.find("content-type");
    const bool manifest = type != nullptr && *type == "c2paprovenance" && content_type != nullptr &&
                          *content_type == "application/c2pa";
    QM_REQUIRE(record.is_c2pa_manifest() == manifest);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view warc(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_records(warc);
  const auto indexed = index_records(warc);
  const ReferenceResult expected = reference_read(warc);

  QM_REQUIRE(parsed.ok() == indexed.ok());
  QM_REQUIRE(parsed.ok() == expected.ok);
  if (parsed.ok()) {
    check_records(warc, parsed.value(), indexed.value(), expected);
    return 0;
  }
  QM_REQUIRE(parsed.error().kind() == ErrorKind::InvalidRecord);
  QM_REQUIRE(parsed.error().detail() == expected.detail);
  require_same_error(indexed.error(), parsed.error());
  QM_REQUIRE(parsed.error().display() == "invalid WARC record: " + expected.detail);
  return 0;
}
