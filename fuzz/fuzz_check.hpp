// Invariant checks for the fuzz targets: a broken invariant prints what broke
// and aborts, which libFuzzer records as a finding together with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "record/owned/header_map.hpp"
#include "record/owned/warc_record.hpp"
#include "record/record_index.hpp"
#include "record/text.hpp"
#include "reference_reader.hpp"

namespace quillmark::fuzz {

[[noreturn]] inline void broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", file, line, what);
  std::abort();
}

#define QM_REQUIRE(condition) \
  ((condition) ? (void)0 : ::quillmark::fuzz::broken(#condition, __FILE__, __LINE__))

inline bool only_cr_lf(std::string_view bytes) {
  return bytes.find_first_not_of("\r\n") == std::string_view::npos;
}

// The map a reader builds from an index's fields, in order: the last value of
// each lower-cased name wins.
inline HeaderMap map_of_fields(const RecordIndex& index, const RecordView& record) {
  HeaderMap map;
  for (std::size_t i = 0; i < record.field_count; ++i) {
    const FieldView& field = index.fields[record.first_field + i];
    map.insert(to_ascii_lower(field.name), std::string(field.value));
  }
  return map;
}

inline bool same_headers(const HeaderMap& actual, const ReferenceRecord& expected) {
  if (actual.size() != expected.headers.size()) return false;
  for (const auto& [name, value] : expected.headers) {
    const std::string* found = actual.find(name);
    if (found == nullptr || *found != value) return false;
  }
  return true;
}

inline bool same_record(const WarcRecord& actual, const ReferenceRecord& expected) {
  return actual.offset == expected.offset && actual.length == expected.length &&
         actual.body == expected.body && same_headers(actual.headers, expected);
}

// Structural checks every record list of `warc` must pass, whatever produced
// it: ranges inside the data, records tiling it with only CR and LF between
// them, each range starting with the version mark.
template <class Records>
void require_tiling(std::string_view warc, const Records& records) {
  std::size_t pos = 0;
  for (const auto& record : records) {
    QM_REQUIRE(record.offset >= pos);
    QM_REQUIRE(record.offset <= warc.size() && record.length <= warc.size() - record.offset);
    QM_REQUIRE(only_cr_lf(warc.substr(pos, record.offset - pos)));
    QM_REQUIRE(warc.substr(record.offset, 8) == "WARC/1.1");
    pos = record.offset + record.length;
  }
  QM_REQUIRE(only_cr_lf(warc.substr(pos)));
}

inline void require_same_error(const Error& actual, const Error& expected) {
  QM_REQUIRE(actual.kind() == expected.kind());
  QM_REQUIRE(actual.detail() == expected.detail());
  QM_REQUIRE(actual.display() == expected.display());
}

}  // namespace quillmark::fuzz
