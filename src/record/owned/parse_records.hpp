// parse_records: the archive as owned WarcRecord values, in archive order.
//
// This folder is the core's owned-value record model: parse_records,
// WarcRecord and HeaderMap, whose values own all of their data and outlive
// the archive's buffer. It serves C++ callers that want such values, and the
// tests and fuzzers, which check the view-based reader against it record for
// record. The Python module never calls it: it reads through the view-based
// reader (record_index.hpp and scanner.hpp), which copies nothing, so that
// each body is copied once, straight into its bytes object, and each header
// str is made from the archive's own bytes; a WarcRecord would first copy
// every body, name and value into C++ strings. parse_records frames the
// archive with index_records, so both follow the very same framing rules.
#pragma once

#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "record/owned/warc_record.hpp"

namespace quillmark {

// All or nothing: the first malformed record fails the whole call with an
// InvalidRecord error and no records are returned.
Result<std::vector<WarcRecord>> parse_records(std::string_view warc);

}  // namespace quillmark
