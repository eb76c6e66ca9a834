#include "record/warc_date.hpp"

#include <time.h>

namespace quillmark {
namespace {

void put2(std::string& out, std::uint64_t value) {
  out.push_back(static_cast<char>('0' + value / 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::uint64_t clock_seconds() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec);
}

std::string format_warc_date(std::uint64_t secs) {
  const std::uint64_t days = secs / 86400;
  const std::uint64_t sod = secs % 86400;

  // Proleptic Gregorian date from a day count, in 400-year eras of years that
  // begin on 1 March, so that the leap day falls at the end of a year.
  const std::uint64_t z = days + 719468;  // cannot overflow: days <= 2^64 / 86400
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::uint64_t month = doy < 306 ? mp + 3 : mp - 9;
  const std::uint64_t year = era * 400 + yoe + (month <= 2 ? 1 : 0);

  std::string out;
  out.reserve(32);
  const std::string digits = std::to_string(year);
  if (digits.size() < 4) out.append(4 - digits.size(), '0');
  out += digits;
  out.push_back('-');
  put2(out, month);
  out.push_back('-');
  put2(out, day);
  out.push_back('T');
  put2(out, sod / 3600);
  out.push_back(':');
  put2(out, sod % 3600 / 60);
  out.push_back(':');
  put2(out, sod % 60);
  out.push_back('Z');
  return out;
}

std::string format_warc_date() {
  return format_warc_date(clock_seconds());
}

}  // namespace quillmark
