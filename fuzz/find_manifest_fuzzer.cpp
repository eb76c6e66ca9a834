// find_manifest and locate_manifest on arbitrary bytes: the body of the last
// record that passes the manifest test, NoManifest when none does, and the
// parser's own error for a malformed archive.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "record/manifest.hpp"
#include "record/owned/parse_records.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view warc(reinterpret_cast<const char*>(data), size);
  const auto found = find_manifest(warc);
  const auto located = locate_manifest(warc);
  const ReferenceResult expected = reference_read(warc);

  if (!expected.ok) {
    QM_REQUIRE(!found.ok() && !located.ok());
    QM_REQUIRE(found.error().kind() == ErrorKind::InvalidRecord);
    QM_REQUIRE(found.error().detail() == expected.detail);
    require_same_error(located.error(), found.error());
    const auto parsed = parse_records(warc);
    QM_REQUIRE(!parsed.ok());
    require_same_error(found.error(), parsed.error());
    return 0;
  }

  const ReferenceRecord* last = nullptr;
  for (const ReferenceRecord& record : expected.records) {
    const auto type = record.headers.find("warc-type");
    const auto content_type = record.headers.find("content-type");
    if (type != record.headers.end() && type->second == "c2paprovenance" &&
        content_type != record.headers.end() && content_type->second == "application/c2pa") {
      last = &record;
    }
  }
  if (last == nullptr) {
    QM_REQUIRE(!found.ok() && !located.ok());
    QM_REQUIRE(found.error().kind() == ErrorKind::NoManifest);
    QM_REQUIRE(found.error().display() == "no C2PA manifest record found");
    require_same_error(located.error(), found.error());
    return 0;
  }
  QM_REQUIRE(found.ok() && located.ok());
  QM_REQUIRE(found.value() == last->body);
  QM_REQUIRE(located.value() == last->body);
  // The located body is a view of the manifest record's own bytes.
  const std::string_view view = located.value();
  if (!view.empty()) {
    QM_REQUIRE(view.data() >= warc.data() + last->offset);
    QM_REQUIRE(view.data() + view.size() <= warc.data() + last->offset + last->length);
  }
  return 0;
}
