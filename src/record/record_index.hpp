// index_records: every record of an archive as views into the caller's buffer.
//
// The view-based reader, the one the Python module uses. read_records lists
// its records from this index; read_manifest and append_manifest, which look
// at two headers only, walk the archive with the scanner (scanner.hpp)
// directly, through locate_manifest and plan_append. Bodies and header texts
// are not copied, so a caller copies each body at most once, straight into
// whatever object it returns. The owned-value model (owned/parse_records.hpp)
// is built on this index for C++ callers and the tests. All or nothing: the
// first malformed record fails the whole call.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace quillmark {

struct FieldView {
  std::string_view name;   // trimmed, not lower-cased
  std::string_view value;  // trimmed
};

struct RecordView {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::string_view body;
  std::size_t first_field = 0;  // index into RecordIndex::fields
  std::size_t field_count = 0;  // every header line with a colon, duplicates included
};

struct RecordIndex {
  std::vector<RecordView> records;
  std::vector<FieldView> fields;

  std::span<const FieldView> fields_of(const RecordView& record) const noexcept {
    return std::span<const FieldView>(fields).subspan(record.first_field, record.field_count);
  }
};

// Valid while the archive's buffer is. Duplicate names are all listed, in
// archive order; a map built from them in order keeps the last value.
Result<RecordIndex> index_records(std::string_view warc);

}  // namespace quillmark
