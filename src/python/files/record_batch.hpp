// The records of a listing as Python objects, one batch at a time: each a
// tuple (offset, length, headers, body_size, is_manifest, gzip_offset,
// gzip_length, body), or an instance of the caller's tuple type (a named
// tuple) with those items. Headers dicts are made as read_records makes them,
// from the fields the framer split, sharing name and value strs across
// records.
#pragma once

#include <vector>

#include "python/header_builder.hpp"
#include "python/owned_ref.hpp"
#include "record/file/record_listing.hpp"
#include "record/record_index.hpp"

namespace quillmark::python {

class RecordBatch {
 public:
  // `record_type`: a subclass of tuple, or null for plain tuples.
  // `tuple_new`: tuple.__new__, which makes an instance of it from a tuple
  // without calling its own __new__ (as a named tuple's _make does).
  RecordBatch(OwnedRef record_type, OwnedRef tuple_new) noexcept
      : record_type_(std::move(record_type)), tuple_new_(std::move(tuple_new)) {}

  // A new list of the ready records, or null with an exception set.
  OwnedRef make_list(const RecordListing& listing);

 private:
  OwnedRef make_record(const RecordListing& listing, const ListedRecord& record);

  OwnedRef record_type_;
  OwnedRef tuple_new_;
  OwningHeaderBuilder headers_;
  std::vector<FieldView> fields_;
};

}  // namespace quillmark::python
