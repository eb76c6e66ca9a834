// WARC-Date texts, checked against fixed dates and against a calendar walked
// forward one day at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "record/warc_date.hpp"

namespace quillmark {
namespace {

bool is_leap(std::uint64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

unsigned days_in_month(std::uint64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

struct Civil {
  std::uint64_t year = 1970;
  unsigned month = 1, day = 1;

  void next_day() {
    if (++day <= days_in_month(year, month)) return;
    day = 1;
    if (++month <= 12) return;
    month = 1;
    ++year;
  }
};

// The date `days` after 1970-01-01: whole 400-year cycles (146097 days from
// any starting day), then year by year and month by month.
Civil civil_from_days(std::uint64_t days) {
  Civil date;
  date.year += 400 * (days / 146097);
  days %= 146097;
  while (days >= (is_leap(date.year) ? 366u : 365u))
    days -= is_leap(date.year) ? 366 : 365, ++date.year;
  while (days >= days_in_month(date.year, date.month))
    days -= days_in_month(date.year, date.month), ++date.month;
  date.day += static_cast<unsigned>(days);
  return date;
}

std::string text(const Civil& date, std::uint64_t second_of_day) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04llu-%02u-%02uT%02u:%02u:%02uZ",
                static_cast<unsigned long long>(date.year), date.month, date.day,
                static_cast<unsigned>(second_of_day / 3600),
                static_cast<unsigned>(second_of_day % 3600 / 60),
                static_cast<unsigned>(second_of_day % 60));
  return buffer;
}

std::string reference(std::uint64_t secs) {
  return text(civil_from_days(secs / 86400), secs % 86400);
}

class FixedDates : public ::testing::TestWithParam<std::pair<std::uint64_t, const char*>> {};

TEST_P(FixedDates, FormatExactly) {
  const auto& [secs, expected] = GetParam();
  EXPECT_EQ(format_warc_date(secs), expected);
  EXPECT_EQ(reference(secs), expected) << "reference calendar disagrees";
}

INSTANTIATE_TEST_SUITE_P(Known, FixedDates,
                         ::testing::Values(std::pair{0ull, "1970-01-01T00:00:00Z"},
                                           std::pair{59ull, "1970-01-01T00:00:59Z"},
                                           std::pair{3600ull, "1970-01-01T01:00:00Z"},
                                           std::pair{86399ull, "1970-01-01T23:59:59Z"},
                                           std::pair{86400ull, "1970-01-02T00:00:00Z"},
                                           std::pair{951782400ull, "2000-02-29T00:00:00Z"},
                                           std::pair{951868800ull, "2000-03-01T00:00:00Z"},
                                           std::pair{1700000000ull, "2023-11-14T22:13:20Z"},
                                           std::pair{1767225600ull, "2026-01-01T00:00:00Z"},
                                           std::pair{4107542399ull, "2100-02-28T23:59:59Z"},
                                           std::pair{4107542400ull, "2100-03-01T00:00:00Z"},
                                           std::pair{253402300799ull, "9999-12-31T23:59:59Z"},
                                           std::pair{253402300800ull, "10000-01-01T00:00:00Z"},
                                           std::pair{3155695200000ull, "101970-01-01T00:00:00Z"}));

TEST(WarcDateSweep, DaysUpToYear10100MatchTheCalendar) {
  // Every day of the first 430 years (more than one 400-year cycle) and of the
  // years around 10000, every eleventh day in between.
  Civil date;
  for (std::uint64_t days = 0; date.year <= 10100; ++days, date.next_day()) {
    const bool dense = date.year < 2400 || (date.year >= 9990 && date.year <= 10010);
    if (!dense && days % 11 != 0) continue;
    const std::uint64_t second_of_day = (days * 7919 + 13) % 86400;
    ASSERT_EQ(format_warc_date(days * 86400 + second_of_day), text(date, second_of_day))
        << "day " << days;
  }
}

TEST(WarcDateSweep, FarFutureUpToTheLargestCount) {
  EXPECT_EQ(format_warc_date(UINT64_MAX), reference(UINT64_MAX));
  EXPECT_EQ(format_warc_date(UINT64_MAX).substr(0, 13), "584554051223-");
  std::uint64_t secs = UINT64_MAX;
  for (int i = 0; i < 20000; ++i, secs -= 922337203685477ull) {
    ASSERT_EQ(format_warc_date(secs), reference(secs)) << secs;
  }
  // Across 400-year cycle starts far out (2000-03-01 plus whole cycles).
  for (std::uint64_t cycle = 1; cycle < 1000000000ull; cycle = cycle * 7 + 1) {
    const std::uint64_t start = (11017 + cycle * 146097) * 86400;
    for (std::uint64_t around : {start - 1, start, start + 86399, start + 86400}) {
      ASSERT_EQ(format_warc_date(around), reference(around)) << around;
    }
  }
}

TEST(WarcClock, CloseToTheSystemClock) {
  const auto before = static_cast<std::uint64_t>(std::time(nullptr));
  const std::uint64_t clock = clock_seconds();
  const std::string now = format_warc_date();
  const auto after = static_cast<std::uint64_t>(std::time(nullptr));
  // time() may read a coarser clock, so allow one second either way.
  EXPECT_GE(clock + 1, before);
  EXPECT_LE(clock, after + 1);
  bool matched = false;
  for (std::uint64_t s = before - 1; s <= after + 1; ++s) matched |= format_warc_date(s) == now;
  EXPECT_TRUE(matched) << now;
}

}  // namespace
}  // namespace quillmark
