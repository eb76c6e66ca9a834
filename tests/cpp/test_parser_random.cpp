// Generated archives: the generator knows every record's place, body and
// header entries, and the reader must find exactly those.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "archive_generator.hpp"

namespace quillmark::testing {
namespace {

class RandomArchives : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomArchives, ReadExactlyAsGenerated) {
  Generator generator(GetParam());
  for (int round = 0; round < 25; ++round) {
    std::vector<Expected> expected;
    const std::string warc = generator.archive(expected);
    SCOPED_TRACE("round " + std::to_string(round));
    const auto result = parse_both(warc);
    ASSERT_TRUE(result.ok()) << error_text(result);
    ASSERT_EQ(result->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const WarcRecord& record = result.value()[i];
      EXPECT_EQ(record.offset, expected[i].offset) << i;
      EXPECT_EQ(record.length, expected[i].length) << i;
      EXPECT_EQ(record.body, expected[i].body) << i;
      EXPECT_EQ(entries(record.headers), expected[i].headers) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomArchives, ::testing::Range(1u, 61u));

}  // namespace
}  // namespace quillmark::testing
