// What a pass hands back to Python, as named types: struct sequences, tuple
// subclasses whose items are also fields, so that a caller may unpack them
// by position or read them by name.
//   ScanSummary(compressed, one_record_per_member, records, manifest_records,
//               manifest)                               of a check
//   AppendCounts(records_kept, manifests_removed, members_copied,
//                records_recompressed, manifest_offset, member_offset,
//                member_length, written, moved_from)    of an append
//   ScanFailure(kind, message, offset, errno, side)     why a pass failed
#pragma once

#include <optional>
#include <string>

#include "error/error.hpp"
#include "python/owned_ref.hpp"
#include "record/file/pass.hpp"
#include "writer/file/file_append.hpp"

namespace quillmark::python {

// Makes the types and adds them to `module`; false with an exception set.
bool add_result_types(PyObject* module);

// Each a new instance, or null with an exception set.
OwnedRef make_summary(const Pass& scan, const std::optional<std::string>& manifest);
OwnedRef make_counts(const AppendCounts& counts);
// kind "malformed" (the module's verdict: message, the failing record's
// offset, None for an empty archive), "gzip" (damaged gzip data: message,
// the member's file offset) or "io" (message is strerror's, errno, and side
// "input" or "output"); fields that do not apply are None.
OwnedRef make_failure(const Error& error, bool output_failed);

}  // namespace quillmark::python
