#include "record/record_index.hpp"

#include "record/scanner.hpp"

namespace quillmark {

Result<RecordIndex> index_records(std::string_view warc) {
  RecordIndex index;
  RecordScanner scanner(warc);
  RecordFrame frame;
  for (;;) {
    const std::size_t first_field = index.fields.size();
    const bool found = scanner.next(frame, [&](std::string_view name, std::string_view raw_value) {
      index.fields.push_back(FieldView{name, trim_white_space(raw_value)});
    });
    if (!found) break;
    index.records.push_back(RecordView{frame.offset, frame.length(), frame.body, first_field,
                                       index.fields.size() - first_field});
  }
  if (scanner.error()) return std::move(*scanner.error());
  return index;
}

}  // namespace quillmark
