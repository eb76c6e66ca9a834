// The records of a listing as Python objects, one batch at a time: each a
// tuple (offset, length, headers, body_size, is_manifest, gzip_offset,
// gzip_length, body), or an instance of the caller's tuple type made from it.
// Headers dicts are made as read_records makes them, sharing name and value
// strs across records.
#pragma once

#include <vector>

#include "python/header_builder.hpp"
#include "python/owned_ref.hpp"
#include "record/file/record_listing.hpp"
#include "record/record_index.hpp"

namespace quillmark::python {

class RecordBatch {
 public:
  // `make`: a callable taking the tuple (such as a named tuple's _make), or null.
  explicit RecordBatch(OwnedRef make) noexcept : make_(std::move(make)) {}

  // A new list of the ready records, or null with an exception set.
  OwnedRef make_list(const RecordListing& listing);

 private:
  OwnedRef make_record(const RecordListing& listing, const ListedRecord& record);

  OwnedRef make_;
  OwningHeaderBuilder headers_;
  std::vector<FieldView> fields_;
};

}  // namespace quillmark::python
