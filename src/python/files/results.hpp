// What a pass hands back to Python, as named types: struct sequences, tuple
// subclasses whose items are also fields, so that a caller may unpack them
// by position or read them by name.
//   ScanSummary(compressed, one_record_per_member, records, manifest_records,
//               manifest)                               of a check
//   AppendCounts(records_kept, manifests_removed, members_copied,
//                records_recompressed, manifest_offset, member_offset,
//                member_length, written, moved_from,
//                old_manifest)                          of an append
//   ScanFailure(kind, message, offset, errno, side)     why a pass failed
//   InputDigests(size, crc32, sha256, covered)          of what a pass read
//   OutputDigests(size, crc32, sha256, covered)         of what an append wrote
//   CoveredBytes(end, sha256, last_record, nothing_after, own_member)
//                                  the bytes before the (last) manifest record
#pragma once

#include <optional>
#include <string>

#include "error/error.hpp"
#include "python/owned_ref.hpp"
#include "record/file/input_digest.hpp"
#include "record/file/pass.hpp"
#include "writer/file/file_append.hpp"

namespace quillmark::python {

// Makes the types and adds them to `module`; false with an exception set.
bool add_result_types(PyObject* module);

// Each a new instance, or null with an exception set.
OwnedRef make_summary(const Pass& scan, const std::optional<std::string>& manifest);
OwnedRef make_counts(const AppendCounts& counts);
OwnedRef make_input_digests(const InputDigests& digests);
// `compressed`: whether the output is gzip (the new record has a member).
OwnedRef make_output_digests(const OutputDigests& digests, bool compressed);
// kind "malformed" (the module's verdict: message, the failing record's
// offset, None for an empty archive), "gzip" (damaged gzip data: message,
// the member's file offset) or "io" (message is strerror's, errno, and side
// "input" or "output"; message is what the core says, where the system's
// reason would not tell, as for a file that ends before a place it must
// reach); fields that do not apply are None.
OwnedRef make_failure(const Error& error, bool output_failed);

}  // namespace quillmark::python
