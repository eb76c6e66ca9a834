// build_record and the date text on arbitrary values. A record whose texts are
// UTF-8 without LF must read back as exactly one record holding those values;
// every date text must name exactly the second it was made from.
//
// Input: bytes 0-7 a second count (little-endian), byte 8 flags (bit 0: a
// target URI is given), bytes 9-12 the lengths of warc_type, content_type,
// record_id and target_uri; then those texts; the rest is the body.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "record/builder.hpp"
#include "record/warc_date.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

namespace {

using Wide = unsigned __int128;

bool is_leap(Wide year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Days from 0001-01-01 to the first of January of `year`, counted with the
// plain January-based leap-year rule (the writer counts March-based eras).
Wide days_before_year(Wide year) {
  const Wide y = year - 1;
  return 365 * y + y / 4 - y / 100 + y / 400;
}

// The second count a date text names, or nullopt when the text is malformed.
std::optional<Wide> seconds_of(std::string_view date) {
  if (date.size() < 20 || date.back() != 'Z') return std::nullopt;
  const std::size_t year_digits = date.size() - 16;
  auto number = [&](std::size_t from, std::size_t count) -> std::optional<Wide> {
    Wide value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
      if (date[i] < '0' || date[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(date[i] - '0');
    }
    return value;
  };
  const std::size_t m = year_digits;
  if (date[m] != '-' || date[m + 3] != '-' || date[m + 6] != 'T' || date[m + 9] != ':' ||
      date[m + 12] != ':') {
    return std::nullopt;
  }
  const auto year = number(0, year_digits), month = number(m + 1, 2), day = number(m + 4, 2);
  const auto hour = number(m + 7, 2), minute = number(m + 10, 2), second = number(m + 13, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (year_digits > 4 && date[0] == '0') return std::nullopt;  // widths are minimums only
  if (*year < 1970 || *month < 1 || *month > 12 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  static constexpr unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned month_days = kMonthDays[*month - 1] + (*month == 2 && is_leap(*year) ? 1 : 0);
  if (*day < 1 || *day > month_days) return std::nullopt;

  Wide days = days_before_year(*year) - days_before_year(1970);
  for (unsigned k = 1; k < *month; ++k) days += kMonthDays[k - 1] + (k == 2 && is_leap(*year));
  days += *day - 1;
  return days * 86400 + *hour * 3600 + *minute * 60 + *second;
}

bool readable(std::string_view text) {
  return reference_is_utf8(text) && text.find('\n') == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.size() < 13) return -1;  // not worth keeping in the corpus
  std::uint64_t secs = 0;
  std::memcpy(&secs, input.data(), sizeof secs);
  const bool has_target = (input[8] & 1) != 0;
  std::string_view texts[4];
  std::string_view rest = input.substr(13);
  for (int i = 0; i < 4; ++i) {
    texts[i] = rest.substr(0, static_cast<unsigned char>(input[9 + i]));
    rest.remove_prefix(texts[i].size());
  }
  const auto [warc_type, content_type, record_id, target_text] = texts;
  const std::optional<std::string_view> target_uri =
      has_target ? std::optional<std::string_view>(target_text) : std::nullopt;
  const std::string_view body = rest;

  const std::string date = format_warc_date(secs);
  const std::optional<Wide> named = seconds_of(date);
  QM_REQUIRE(named.has_value() && *named == secs);

  const std::uint64_t before = clock_seconds();
  const ByteBuffer record = build_record(warc_type, content_type, record_id, target_uri, body);
  const std::uint64_t after = clock_seconds();

  const RecordFields fields{warc_type, content_type, record_id, target_uri, body};
  ByteBuffer again(record_size(fields, date), '\0');
  QM_REQUIRE(write_record(fields, date, again.data()) == again.data() + again.size());
  QM_REQUIRE(again.size() == record.size() - format_warc_date(before).size() + date.size() ||
             again.size() == record.size() - format_warc_date(after).size() + date.size());
  QM_REQUIRE(record.compare(0, 10, "WARC/1.1\r\n") == 0);
  QM_REQUIRE(record.size() >= body.size() + 4);
  QM_REQUIRE(record.compare(record.size() - 4 - body.size(), body.size() + 4,
                            std::string(body) + "\r\n\r\n") == 0);

  if (!readable(warc_type) || !readable(content_type) || !readable(record_id) ||
      (target_uri && !readable(*target_uri))) {
    return 0;
  }
  const ReferenceResult read = reference_read(record);
  QM_REQUIRE(read.ok && read.records.size() == 1);
  const ReferenceRecord& parsed = read.records.front();
  QM_REQUIRE(parsed.offset == 0 && parsed.length == record.size());
  QM_REQUIRE(parsed.body == body);
  QM_REQUIRE(parsed.headers.size() == (target_uri ? 6u : 5u));
  auto header = [&](const char* name) -> const std::string& {
    const auto found = parsed.headers.find(name);
    QM_REQUIRE(found != parsed.headers.end());
    return found->second;
  };
  QM_REQUIRE(header("warc-type") == reference_trim(warc_type));
  QM_REQUIRE(header("content-type") == reference_trim(content_type));
  QM_REQUIRE(header("warc-record-id") == "<" + std::string(record_id) + ">");
  if (target_uri) QM_REQUIRE(header("warc-target-uri") == reference_trim(*target_uri));
  QM_REQUIRE(header("content-length") == std::to_string(body.size()));
  const std::optional<Wide> stamped = seconds_of(header("warc-date"));
  QM_REQUIRE(stamped.has_value() && *stamped >= before && *stamped <= after);
  // Written with the date it carries, the record comes out byte for byte.
  ByteBuffer replay(record_size(fields, header("warc-date")), '\0');
  write_record(fields, header("warc-date"), replay.data());
  QM_REQUIRE(replay == record);
  return 0;
}
