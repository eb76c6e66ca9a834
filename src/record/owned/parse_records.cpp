#include "record/owned/parse_records.hpp"

#include "record/record_index.hpp"
#include "record/text.hpp"

namespace quillmark {

Result<std::vector<WarcRecord>> parse_records(std::string_view warc) {
  Result<RecordIndex> index = index_records(warc);
  if (!index) return std::move(index).error();

  std::vector<WarcRecord> records;
  records.reserve(index->records.size());
  for (const RecordView& view : index->records) {
    WarcRecord& record = records.emplace_back();
    for (std::size_t i = 0; i < view.field_count; ++i) {
      const FieldView& field = index->fields[view.first_field + i];
      record.headers.insert(to_ascii_lower(field.name), std::string(field.value));
    }
    record.body.assign(view.body);
    record.offset = view.offset;
    record.length = view.length;
  }
  return records;
}

}  // namespace quillmark
