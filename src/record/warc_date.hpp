// WARC-Date texts: UTC, whole seconds, "YYYY-MM-DDThh:mm:ssZ".
#pragma once

#include <cstdint>
#include <string>

namespace quillmark {

// Seconds since 1970-01-01T00:00:00 UTC from the real-time clock; 0 when the
// clock stands before the epoch. The fraction of a second is dropped.
std::uint64_t clock_seconds() noexcept;

// The date text for `secs`: at least four year digits, longer past year 9999.
std::string format_warc_date(std::uint64_t secs);

// The date text for the current clock reading.
std::string format_warc_date();

}  // namespace quillmark
