// The stream framer on arbitrary bytes, fed in pieces whose sizes come from
// the input's first two bytes, bodies sometimes skipped instead of fed: it
// must find the very records index_records finds in the whole input, with
// the same header blocks, bodies and separators, or the same error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "record/record_index.hpp"
#include "record/stream_framer.hpp"

using namespace quillmark;
using namespace quillmark::fuzz;

namespace {

struct Seen {
  std::size_t offset = 0, length = 0, fields = 0;
  std::string_view header, separator;
  std::string body;
};

struct Collector {
  std::string_view warc;
  bool skipping = false;
  std::size_t fields = 0;
  std::vector<Seen> records;

  void field(std::string_view, std::string_view) { ++fields; }
  void header(std::size_t offset, std::string_view block, std::size_t) {
    QM_REQUIRE(block == warc.substr(offset, block.size()));
    records.push_back(Seen{offset, 0, fields, warc.substr(offset, block.size()), {}, {}});
    fields = 0;
  }
  void body(std::string_view piece) { records.back().body += piece; }
  void end(std::size_t offset, std::size_t length, std::string_view separator) {
    QM_REQUIRE(!records.empty() && records.back().offset == offset);
    records.back().length = length;
    records.back().separator = separator;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::uint32_t state = data[0] | (data[1] << 8);
  const std::string_view warc(reinterpret_cast<const char*>(data) + 2, size - 2);
  const auto next_piece = [&] {
    state = state * 1103515245u + 12345u;
    const std::uint32_t r = state >> 16;
    return (r % 4 == 0) ? 1 + r % 3 : 1 + r % 97;
  };

  StreamFramer framer;
  Collector collector;
  collector.warc = warc;
  Status status = Ok{};
  std::size_t at = 0;
  while (status && at < warc.size()) {
    QM_REQUIRE(framer.position() == at);
    if ((state & 0x100) != 0 && framer.body_remaining() > 0) {
      const std::size_t skip = std::min(framer.body_remaining(), warc.size() - at);
      framer.skip_body(skip);
      collector.records.back().body += warc.substr(at, skip);
      at += skip;
      next_piece();
      continue;
    }
    const std::size_t piece = std::min<std::size_t>(next_piece(), warc.size() - at);
    status = framer.feed(warc.substr(at, piece), collector);
    at += piece;
  }
  if (status) status = framer.finish(collector);

  const auto expected = index_records(warc);
  QM_REQUIRE(status.ok() == expected.ok());
  if (!expected.ok()) {
    QM_REQUIRE(status.error() == expected.error());
    return 0;
  }
  QM_REQUIRE(collector.records.size() == expected->records.size());
  for (std::size_t i = 0; i < collector.records.size(); ++i) {
    const Seen& seen = collector.records[i];
    const RecordView& view = expected->records[i];
    QM_REQUIRE(seen.offset == view.offset && seen.length == view.length);
    QM_REQUIRE(seen.body == view.body && seen.fields == view.field_count);
    QM_REQUIRE(seen.header.data() + seen.header.size() == view.body.data());
    const std::size_t body_end = view.offset + seen.header.size() + view.body.size();
    QM_REQUIRE(seen.separator == warc.substr(body_end, view.offset + view.length - body_end));
  }
  return 0;
}
