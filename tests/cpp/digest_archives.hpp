// Archive files for the tests of the digests a pass computes: records with
// manifest records anywhere (first, between, last, several, none), laid out
// plain or as gzip members (one per record, one for all, cut anywhere), with
// what may follow the last manifest record (CR/LF, another record, an empty
// member, zero padding). Each file comes with what the digests must say of
// it, worked out from the layout and the whole-archive reader alone.
#pragma once

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "gzip_testing.hpp"
#include "record/record_index.hpp"

namespace quillmark::testing {

// What a pass must report of the bytes before the last manifest record.
struct ExpectedCovered {
  std::size_t end = 0;
  bool last_record = false;
  bool nothing_after = false;
  std::optional<bool> own_member;
};

struct DigestArchive {
  std::string file;     // the bytes of the file
  std::string content;  // the archive they hold (the same bytes when plain)
  bool compressed = false;
  std::optional<ExpectedCovered> covered;  // none without a manifest record
  std::string what;                        // for failure messages
};

class DigestArchives {
 public:
  explicit DigestArchives(unsigned seed) : random_(seed) {}

  DigestArchive next() {
    DigestArchive out;
    std::vector<Piece> pieces = records();
    const int layout = static_cast<int>(below(4));  // plain, per record, single, cut
    out.compressed = layout != 0;
    out.what = std::string(kLayouts[layout]) + " of " + std::to_string(pieces.size());
    for (const Piece& piece : pieces) out.content += piece.text + piece.gap;

    // Members as [start, end) of the content; the gzip data after them.
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::string after;
    if (layout == 1) {
      std::size_t at = 0;
      for (const Piece& piece : pieces) {
        const std::size_t end = at + piece.text.size() + piece.gap.size();
        if (!piece.gap.empty() && below(3) == 0) {  // the gap in a member of its own
          spans.emplace_back(at, end - piece.gap.size());
          spans.emplace_back(end - piece.gap.size(), end);
        } else {
          spans.emplace_back(at, end);
        }
        at = end;
      }
    } else if (layout == 2) {
      spans.emplace_back(0, out.content.size());
    } else if (layout == 3) {
      std::size_t at = 0;
      while (at < out.content.size()) {
        const std::size_t end = std::min(out.content.size(), at + below(700));
        spans.emplace_back(at, end);  // now and then an empty member
        at = end;
      }
    }
    if (out.compressed) {
      switch (below(4)) {
        case 0:
          out.what += ", an empty member after";
          spans.emplace_back(out.content.size(), out.content.size());
          break;
        case 1:
          out.what += ", zero padding after";
          after = std::string(1 + below(600), '\0');
          break;
        default:
          break;
      }
    } else if (below(3) == 0) {
      out.what += ", CR/LF after";
      out.content += below(2) ? "\r\n" : "\n";
    }

    std::vector<Member> members;
    for (const auto& [start, end] : spans) {
      members.push_back(Member{out.file.size(), start, end});
      out.file += gzip_member(std::string_view(out.content).substr(start, end - start), 6);
    }
    out.file += after;
    if (!out.compressed) out.file = out.content;
    out.covered = expected_covered(out, pieces, members, !after.empty());
    return out;
  }

 private:
  static constexpr const char* kLayouts[] = {"plain", "a member per record", "one member",
                                             "members cut anywhere"};
  struct Piece {
    std::string text;  // the record, its separator included
    std::string gap;   // CR and LF bytes after it
    bool manifest = false;
  };
  struct Member {
    std::size_t compressed_start, start, end;
  };

  std::size_t below(std::size_t n) { return static_cast<std::size_t>(random_() % n); }

  std::vector<Piece> records() {
    std::vector<Piece> pieces(1 + below(8));
    const bool manifest_last = below(2) == 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      Piece& piece = pieces[i];
      piece.manifest = below(4) == 0 || (manifest_last && i + 1 == pieces.size());
      // Now and then a body past the digest's steps, to be passed over unread.
      std::string body(below(20) == 0 ? (300u << 10) + below(5000) : below(2000), '\0');
      for (char& c : body) c = "ab\r\n\0\xffWARC/1.1"[below(14)];
      piece.text =
          "WARC/1.1\r\nWARC-Type: " + std::string(piece.manifest ? "c2paprovenance" : "resource") +
          "\r\nContent-Type: " + (piece.manifest ? "application/c2pa" : "text/plain") +
          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      const char* separators[] = {"\r\n\r\n", "\r\n\r\n", "\n\n", ""};
      piece.text += separators[below(4)];
      const char* gaps[] = {"", "", "\r\n", "\n\r\n\r\n"};
      piece.gap = gaps[below(4)];
    }
    return pieces;
  }

  static std::optional<ExpectedCovered> expected_covered(const DigestArchive& archive,
                                                         const std::vector<Piece>& pieces,
                                                         const std::vector<Member>& members,
                                                         bool padded) {
    Result<RecordIndex> index = index_records(archive.content);
    EXPECT_TRUE(index) << archive.what;
    if (!index || index->records.size() != pieces.size()) {
      ADD_FAILURE() << archive.what << ": the records are not the ones written";
      return std::nullopt;
    }
    std::optional<std::size_t> last;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (pieces[i].manifest) last = i;
    }
    if (!last) return std::nullopt;
    const RecordView& record = index->records[*last];
    const std::size_t record_end = record.offset + record.length;
    ExpectedCovered covered;
    covered.last_record = *last + 1 == pieces.size();
    if (!archive.compressed) {
      covered.end = record.offset;
      covered.nothing_after = record_end == archive.file.size();
      return covered;
    }
    // The member holding the record's first byte, and the one holding its last.
    std::size_t first = 0, final_member = 0;
    for (std::size_t m = 0; m < members.size(); ++m) {
      if (members[m].start <= record.offset && record.offset < members[m].end) first = m;
      if (members[m].start < record_end && record_end <= members[m].end) final_member = m;
    }
    covered.end = members[first].compressed_start;
    covered.own_member = members[first].start == record.offset;
    covered.nothing_after = covered.last_record && record_end == archive.content.size() &&
                            final_member + 1 == members.size() && !padded;
    return covered;
  }

  std::mt19937 random_;
};

}  // namespace quillmark::testing
