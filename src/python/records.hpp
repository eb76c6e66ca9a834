// Record dicts for read_records.
#pragma once

#include "python/owned_ref.hpp"
#include "record/record_index.hpp"

namespace quillmark::python {

// A new list of dicts {"headers", "body", "offset", "length"}, in archive
// order; null with an exception set if an object cannot be made, in which
// case everything made so far is released.
OwnedRef records_to_list(const RecordIndex& index);

}  // namespace quillmark::python
