// Every prefix of a good archive either reads as the records that fit in it
// or fails with the detail that the cut calls for, and the reader never looks
// past the end of the data it is given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "archive_checks.hpp"

namespace quillmark::testing {
namespace {

struct Piece {
  std::string head;  // "WARC/1.1" up to, not including, the header end
  std::string body;
  std::string separator;  // what the reader counts: "", "\r\n\r\n" or "\n\n"
  std::string gap;        // CR and LF bytes that belong to no record
};

// Where each piece landed in the archive.
struct Placed {
  std::size_t offset, header_end, body_end;
  const Piece* piece;
};

struct Layout {
  std::string name;
  std::string leading_gap;
  std::vector<Piece> pieces;
};

void PrintTo(const Layout& layout, std::ostream* os) {
  *os << layout.name;
}

std::string head(std::string_view lines, std::size_t length) {
  return "WARC/1.1" + std::string(lines) + "\r\nContent-Length: " + std::to_string(length);
}

std::vector<Layout> layouts() {
  const std::string big(1500, 'B');
  return {
      {"mixed",
       "\r\n\n",
       {{head("\r\nWARC-Type: r\xc3\xa9source", 5), "alpha", "\r\n\r\n", ""},
        {head("\r\nX: \xe2\x82\xac", 0), "", "\n\n", "\r\n"},
        {head("", 25), "x\r\n\r\nWARC/1.1 inside body", "", "\r\n"},
        {"WARC/1.1\nContent-Length: 3\nX: y", "abc", "", ""},
        {head(" trailing text on the version line", 3), "end", "\r\n\r\n", "\n"}}},
      {"large",
       "",
       {{head("\r\nWARC-Target-URI: http://example.com/" + std::string(300, 'p'), big.size()), big,
         "\n\n", "\r\n\r\n\r\n"},
        {head("\r\nA: \xf0\x9f\x98\x80\r\nB: 2", 1), "\n", "\r\n\r\n", ""}}},
  };
}

struct Expected {
  std::vector<Placed> records;  // every record that fits
  std::string error;            // or the detail of the failure
  std::size_t error_offset = 0;
};

// What reading the first `size` bytes must give, worked out from the layout.
Expected expected_for(const std::vector<Placed>& placed, std::size_t size) {
  Expected out;
  for (const Placed& p : placed) {
    if (size <= p.offset) break;  // the cut falls in a gap
    if (size - p.offset < 8) {
      out.error = "expected WARC/1.1 at offset " + std::to_string(p.offset);
    } else if (size < p.header_end + 4) {
      out.error = "unterminated header";
    } else if (size < p.body_end) {
      out.error = "body extends past end of data";
    } else {
      out.records.push_back(p);
      continue;
    }
    out.error_offset = p.offset;
    out.records.clear();
    break;
  }
  return out;
}

class Prefixes : public ::testing::TestWithParam<Layout> {};

TEST_P(Prefixes, ReadAsTheRecordsThatFitOrFailExactly) {
  const Layout& layout = GetParam();
  std::string warc = layout.leading_gap;
  std::vector<Placed> placed;
  for (const Piece& piece : layout.pieces) {
    const std::size_t offset = warc.size();
    warc += piece.head + "\r\n\r\n" + piece.body;
    placed.push_back({offset, offset + piece.head.size(), warc.size(), &piece});
    warc += piece.separator + piece.gap;
  }

  for (std::size_t size = 0; size <= warc.size(); ++size) {
    SCOPED_TRACE("prefix of " + std::to_string(size) + " bytes");
    const Expected expected = expected_for(placed, size);
    // The prefix as a view of the whole archive, so the bytes after it are
    // real and tempting, and as an exactly sized copy of its own.
    const std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
    std::copy_n(warc.data(), size, copy.get());
    for (std::string_view data :
         {std::string_view(warc).substr(0, size), std::string_view(copy.get(), size)}) {
      const auto result = parse_both(data);
      if (!expected.error.empty()) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().display(), invalid(expected.error));
        EXPECT_EQ(result.error().offset(), expected.error_offset);
        continue;
      }
      ASSERT_TRUE(result.ok()) << error_text(result);
      ASSERT_EQ(result->size(), expected.records.size());
      for (std::size_t i = 0; i < expected.records.size(); ++i) {
        const Placed& p = expected.records[i];
        const std::size_t room = size - p.body_end;
        const std::size_t separator =
            room >= p.piece->separator.size() ? p.piece->separator.size() : 0;
        EXPECT_EQ(result.value()[i].offset, p.offset);
        EXPECT_EQ(result.value()[i].length, p.body_end + separator - p.offset);
        EXPECT_EQ(result.value()[i].body, p.piece->body);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Prefixes, ::testing::ValuesIn(layouts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmark::testing
