// HeaderMap: replace semantics, archive order and lookups at every size.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "record/owned/header_map.hpp"

namespace quillmark {
namespace {

using Entries = std::vector<HeaderMap::Entry>;

Entries entries(const HeaderMap& map) {
  return {map.begin(), map.end()};
}

TEST(HeaderMap, EmptyFindsNothing) {
  const HeaderMap map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find(""), nullptr);
  EXPECT_EQ(map.find("content-length"), nullptr);
}

TEST(HeaderMap, LaterValueReplacesAndKeepsFirstPosition) {
  HeaderMap map;
  map.insert("warc-type", "response");
  map.insert("content-length", "5");
  map.insert("warc-type", "resource");
  map.insert("x", "");
  map.insert("content-length", "7");
  EXPECT_EQ(entries(map), (Entries{{"warc-type", "resource"}, {"content-length", "7"}, {"x", ""}}));
  ASSERT_NE(map.find("x"), nullptr);
  EXPECT_EQ(*map.find("x"), "");
}

TEST(HeaderMap, EmptyNameAndNamesWithNulAreOrdinaryKeys) {
  HeaderMap map;
  map.insert("", "empty");
  map.insert(std::string("a\0b", 3), "1");
  map.insert(std::string("a\0c", 3), "2");
  map.insert("a", "3");
  ASSERT_NE(map.find(""), nullptr);
  EXPECT_EQ(*map.find(""), "empty");
  EXPECT_EQ(*map.find(std::string_view("a\0b", 3)), "1");
  EXPECT_EQ(*map.find(std::string_view("a\0c", 3)), "2");
  EXPECT_EQ(*map.find("a"), "3");
  EXPECT_EQ(map.find(std::string_view("a\0", 2)), nullptr);
  EXPECT_EQ(map.size(), 4u);
}

TEST(HeaderMap, AbsentNeighboursOfPresentNames) {
  HeaderMap map;
  map.insert("content-length", "1");
  for (const char* absent : {"content-lengt", "content-lengthh", "content-length ",
                             " content-length", "Content-Length", "ontent-length", "", "c"}) {
    EXPECT_EQ(map.find(absent), nullptr) << '"' << absent << '"';
  }
}

// Sizes on both sides of the switch from a linear scan to the hashed index.
class HeaderMapSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HeaderMapSizes, OrderValuesAndLookupsStayCorrect) {
  const std::size_t n = GetParam();
  HeaderMap map;
  Entries expected;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = "name-" + std::to_string(i);
    map.insert(name, "v" + std::to_string(i));
    expected.emplace_back(name, "v" + std::to_string(i));
  }
  // Replace every third name, newest first, and re-insert one name unchanged.
  for (std::size_t i = n; i-- > 0;) {
    if (i % 3 != 0) continue;
    map.insert("name-" + std::to_string(i), "r" + std::to_string(i));
    expected[i].second = "r" + std::to_string(i);
  }
  ASSERT_EQ(map.size(), n);
  EXPECT_EQ(entries(map), expected);
  for (std::size_t i = 0; i < n; ++i) {
    const std::string* found = map.find(expected[i].first);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, expected[i].second);
  }
  for (std::size_t i = n; i < n + 50; ++i) {
    EXPECT_EQ(map.find("name-" + std::to_string(i)), nullptr) << i;
  }
  EXPECT_EQ(map.find("name-"), nullptr);

  // A copy keeps working on its own after both are changed.
  HeaderMap copy = map;
  copy.insert("only-in-copy", "c");
  map.insert("only-in-original", "o");
  EXPECT_EQ(copy.find("only-in-original"), nullptr);
  EXPECT_EQ(map.find("only-in-copy"), nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_NE(copy.find(expected[i].first), nullptr) << i;
    EXPECT_EQ(*copy.find(expected[i].first), expected[i].second);
  }
  HeaderMap moved = std::move(copy);
  ASSERT_NE(moved.find("only-in-copy"), nullptr);
  EXPECT_EQ(moved.size(), n + 1);
}

INSTANTIATE_TEST_SUITE_P(AroundTheIndexThreshold, HeaderMapSizes,
                         ::testing::Values(0, 1, 2, 7, 8, 9, 10, 15, 16, 17, 31, 32, 33, 100, 1000,
                                           4097));

TEST(HeaderMapScale, TwoHundredThousandDistinctNames) {
  constexpr std::size_t kCount = 200000;
  HeaderMap map;
  for (std::size_t i = 0; i < kCount; ++i) map.insert("h" + std::to_string(i), std::to_string(i));
  for (std::size_t i = 0; i < kCount; i += 2) {
    map.insert("h" + std::to_string(i), "even");
  }
  ASSERT_EQ(map.size(), kCount);
  std::size_t position = 0;
  for (const auto& [name, value] : map) {
    ASSERT_EQ(name, "h" + std::to_string(position));
    ASSERT_EQ(value, position % 2 == 0 ? "even" : std::to_string(position));
    ++position;
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    const std::string* found = map.find("h" + std::to_string(i));
    ASSERT_NE(found, nullptr) << i;
    ASSERT_EQ(*found, i % 2 == 0 ? "even" : std::to_string(i));
  }
  EXPECT_EQ(map.find("h" + std::to_string(kCount)), nullptr);
}

TEST(HeaderMapScale, NamesSharingLongPrefixesOrSuffixes) {
  const std::string common(4096, 'x');
  HeaderMap map;
  constexpr std::size_t kCount = 3000;
  for (std::size_t i = 0; i < kCount; ++i) {
    map.insert(common + std::to_string(i), "p" + std::to_string(i));
    map.insert(std::to_string(i) + common, "s" + std::to_string(i));
  }
  ASSERT_EQ(map.size(), 2 * kCount);
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(*map.find(common + std::to_string(i)), "p" + std::to_string(i));
    ASSERT_EQ(*map.find(std::to_string(i) + common), "s" + std::to_string(i));
  }
  EXPECT_EQ(map.find(common), nullptr);
  EXPECT_EQ(map.find(common + "x"), nullptr);
}

TEST(HeaderMapHash, StableWithinAProcessAndSpreadOut) {
  EXPECT_EQ(seeded_name_hash("content-length"), seeded_name_hash(std::string("content-length")));
  std::unordered_set<std::uint64_t> seen;
  constexpr std::size_t kCount = 100000;
  for (std::size_t i = 0; i < kCount; ++i) seen.insert(seeded_name_hash("n" + std::to_string(i)));
  EXPECT_GT(seen.size(), kCount - 5);
  // Low bits alone (what a power-of-two table uses) still spread the names.
  std::unordered_set<std::uint64_t> low;
  for (std::size_t i = 0; i < 4096; ++i) low.insert(seeded_name_hash(std::to_string(i)) & 0xffff);
  EXPECT_GT(low.size(), 3800u);
}

}  // namespace
}  // namespace quillmark
