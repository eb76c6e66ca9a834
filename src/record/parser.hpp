// parse_records: the archive as owned WarcRecord values, in archive order.
#pragma once

#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "record/warc_record.hpp"

namespace quillmark {

// All or nothing: the first malformed record fails the whole call with an
// InvalidRecord error and no records are returned.
Result<std::vector<WarcRecord>> parse_records(std::string_view warc);

}  // namespace quillmark
