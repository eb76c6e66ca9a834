#include "file_scan_input.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zlib_members.hpp"

namespace quillmark::fuzz {
namespace {

constexpr std::size_t kReadSizes[] = {1, 2, 3, 7, 61, 4093, 65536, std::size_t{1} << 40};
constexpr std::size_t kBudgets[] = {0, 1, 512, 65536};
constexpr std::size_t kBatchRecords[] = {1, 2, 7, 1000};
constexpr std::size_t kBatchBytes[] = {1, 64, 4096, std::size_t{1} << 20};
constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
constexpr int kWindowBits[] = {15, 15, 15, 15, 9, 10, 12, 14};

// A long run takes one inflater at a time: QM_FUZZ_INFLATER=isal, for example.
std::optional<gzip::Inflater> inflater_from_environment() {
  static const std::optional<gzip::Inflater> fixed = [] {
    const char* name = std::getenv("QM_FUZZ_INFLATER");
    if (name == nullptr || *name == '\0') return std::optional<gzip::Inflater>();
    const std::optional<gzip::Inflater> inflater = gzip::inflater_named(name);
    if (!inflater) {
      std::fprintf(stderr, "QM_FUZZ_INFLATER=%s: not an inflater of this build\n", name);
      std::exit(2);
    }
    return inflater;
  }();
  return fixed;
}

// `level` byte: level and strategy; `fields` byte: bits 0-3 FNAME, FCOMMENT,
// FEXTRA, FHCRC, bit 4 an empty member after this one, bits 5-7 the window.
MemberStyle member_style(unsigned char level, unsigned char fields) {
  MemberStyle style;
  style.level = level % 10;
  style.strategy = kStrategies[(level / 10) % 5];
  style.name = (fields & 0x01) != 0;
  style.comment = (fields & 0x02) != 0;
  style.extra = (fields & 0x04) != 0;
  style.header_crc = (fields & 0x08) != 0;
  style.window_bits = kWindowBits[fields >> 5];
  return style;
}

// The data of the first member repeated to about `size` bytes: members whose
// output is larger than the pieces the pass inflates at a time.
std::string stretched(std::string_view piece, std::size_t size) {
  std::string out;
  if (piece.empty()) return out;
  out.reserve(size + piece.size());
  while (out.size() < size) out.append(piece);
  return out;
}

bool stretches(std::string_view plan) {
  return !plan.empty() && (static_cast<unsigned char>(plan[0]) >> 6) == 3;
}

std::string gzip_file(std::string_view plan) {
  const auto byte = [&](std::size_t i) -> unsigned char {
    return i < plan.size() ? static_cast<unsigned char>(plan[i]) : 0;
  };
  const std::size_t members = 1 + (byte(0) & 7);
  const unsigned tail = (byte(0) >> 3) & 7;
  const bool stretch = stretches(plan);
  const std::size_t amount = byte(1) & 0x7f;
  const std::size_t header = 2 + 4 * members;
  const std::string_view data = plan.substr(std::min(header, plan.size()));

  struct Cut {
    std::size_t end;
    MemberStyle style;
    bool empty_after;
  };
  std::vector<Cut> cuts;
  for (std::size_t i = 0; i < members; ++i) {
    const std::size_t at = 2 + 4 * i;
    const std::size_t end =
        i + 1 == members ? data.size() : (byte(at) | (byte(at + 1) << 8)) % (data.size() + 1);
    cuts.push_back(Cut{end, member_style(byte(at + 2), byte(at + 3)), (byte(at + 3) & 0x10) != 0});
  }
  std::stable_sort(cuts.begin(), cuts.end(),
                   [](const Cut& a, const Cut& b) { return a.end < b.end; });

  std::string file;
  std::size_t from = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    std::string_view piece = data.substr(from, cuts[i].end - from);
    std::string repeated;
    if (i == 0 && stretch) {
      repeated = stretched(piece, 300000);
      piece = repeated;
    }
    file += gzip_member(piece, cuts[i].style);
    if (cuts[i].empty_after) file += gzip_member({}, cuts[i].style);
    from = cuts[i].end;
  }

  switch (tail) {
    case 4:
      file.append(1 + amount, '\0');
      break;
    case 5:
      file.append(amount % 8, '\0');
      file.push_back(static_cast<char>(1 + amount));
      break;
    case 6:
      file.resize(file.size() - std::min(file.size(), 1 + amount));
      break;
    case 7: {
      const std::size_t at = file.size() - 1 - (amount * 37) % file.size();
      file[at] = static_cast<char>(file[at] ^ (1 << (amount % 8)));
      break;
    }
    default:
      break;
  }
  return file;
}

}  // namespace

FileScanInput read_file_scan_input(std::string_view data) {
  const auto byte = [&](std::size_t i) -> unsigned char {
    return i < data.size() ? static_cast<unsigned char>(data[i]) : 0;
  };
  const unsigned char run = byte(0);
  const unsigned char sink = byte(1);
  const std::string_view rest = data.substr(std::min<std::size_t>(2, data.size()));

  FileScanInput input;
  const std::vector<gzip::Inflater> built = gzip::built_inflaters();
  input.inflater = inflater_from_environment().value_or(built[(run & 3) % built.size()]);
  input.read_size = kReadSizes[(run >> 3) & 7];
  input.budget = kBudgets[run >> 6];
  input.batch_records = kBatchRecords[sink & 3];
  input.batch_bytes = kBatchBytes[(sink >> 2) & 3];
  input.bodies = (sink & 0x10) != 0;
  input.padding_allowed = (sink & 0x20) == 0;
  input.force_gzip = (sink & 0x40) != 0;
  input.seekable = (sink & 0x80) != 0;
  input.file = (run & 4) ? gzip_file(rest) : std::string(rest);
  // A stretched member read a few bytes at a time costs seconds: an inflater
  // outside the sanitizers moves its history at every call, and the
  // sanitizer's memmove does that a byte at a time.
  if ((run & 4) && stretches(rest)) input.read_size = std::max<std::size_t>(input.read_size, 4093);
  return input;
}

}  // namespace quillmark::fuzz
