// Shared helpers of the core tests: hand-written records and a reader check
// that runs both readers (owned records and views) and insists they agree.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "record/constants.hpp"
#include "record/owned/header_map.hpp"
#include "record/owned/parse_records.hpp"
#include "record/owned/warc_record.hpp"
#include "record/record_index.hpp"
#include "record/text.hpp"

namespace quillmark::testing {

using namespace std::string_literals;
using namespace std::string_view_literals;

// "WARC/1.1", then each line after a CR LF, then the header end and the body.
inline std::string raw_record(std::initializer_list<std::string_view> lines,
                              std::string_view body = {}) {
  std::string out(WARC_VERSION);
  for (std::string_view line : lines) {
    out += "\r\n";
    out += line;
  }
  out += "\r\n\r\n";
  out += body;
  return out;
}

// A record whose Content-Length fits `body`, after any `extra` lines.
inline std::string sized_record(std::string_view body,
                                std::initializer_list<std::string_view> extra = {}) {
  std::string out(WARC_VERSION);
  for (std::string_view line : extra) {
    out += "\r\n";
    out += line;
  }
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

// The header map that the field views describe, built the way the parser does.
inline HeaderMap map_from_fields(const RecordIndex& index, const RecordView& record) {
  HeaderMap map;
  for (std::size_t i = 0; i < record.field_count; ++i) {
    const FieldView& field = index.fields.at(record.first_field + i);
    map.insert(to_ascii_lower(field.name), std::string(field.value));
  }
  return map;
}

inline bool points_into(std::string_view part, std::string_view whole) {
  const std::less_equal<const char*> le;
  return le(whole.data(), part.data()) &&
         le(part.data() + part.size(), whole.data() + whole.size());
}

// parse_records, after checking that index_records gives the same outcome:
// the same error, or the same records (offsets, lengths, bodies, headers).
inline Result<std::vector<WarcRecord>> parse_both(std::string_view warc) {
  Result<std::vector<WarcRecord>> parsed = parse_records(warc);
  Result<RecordIndex> indexed = index_records(warc);
  EXPECT_EQ(parsed.ok(), indexed.ok());
  if (!parsed.ok() || !indexed.ok()) {
    if (!parsed.ok() && !indexed.ok()) {
      EXPECT_EQ(parsed.error(), indexed.error());
    }
    return parsed;
  }
  const std::vector<WarcRecord>& records = parsed.value();
  const RecordIndex& index = indexed.value();
  EXPECT_EQ(records.size(), index.records.size());
  for (std::size_t i = 0; i < records.size() && i < index.records.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const RecordView& view = index.records[i];
    EXPECT_EQ(records[i].offset, view.offset);
    EXPECT_EQ(records[i].length, view.length);
    EXPECT_LE(view.offset + view.length, warc.size());
    EXPECT_EQ(records[i].body, view.body);
    EXPECT_TRUE(points_into(view.body, warc));
    EXPECT_EQ(records[i].headers, map_from_fields(index, view));
  }
  return parsed;
}

// The display text of a failed result, or a marker when it succeeded.
template <class T>
std::string error_text(const Result<T>& result) {
  return result.ok() ? "<no error>" : result.error().display();
}

inline std::string invalid(std::string_view detail) {
  return "invalid WARC record: " + std::string(detail);
}

// The entries of a map in iteration order.
inline std::vector<HeaderMap::Entry> entries(const HeaderMap& map) {
  return {map.begin(), map.end()};
}

}  // namespace quillmark::testing
