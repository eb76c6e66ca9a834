#include "zlib_members.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace quillmark::fuzz {
namespace {

// The target's own use of zlib went wrong, not the pass.
[[noreturn]] void zlib_failed(const char* what) {
  std::fprintf(stderr, "zlib refused the target's call to %s\n", what);
  std::abort();
}

struct Inflated {
  enum class Status { End, NeedInput, Corrupt } status = Status::NeedInput;
  std::size_t consumed = 0;
  std::string output;
  std::string detail;
};

// One member from the start of `in`, given every byte that is left at once.
Inflated inflate_member(std::string_view in) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) zlib_failed("inflateInit2");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  Inflated result;
  char buffer[1 << 16];
  for (;;) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int status = inflate(&stream, Z_NO_FLUSH);
    result.output.append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_STREAM_END) {
      result.status = Inflated::Status::End;
      break;
    }
    if (status == Z_MEM_ERROR) zlib_failed("inflate");
    if (status != Z_OK && status != Z_BUF_ERROR) {
      result.status = Inflated::Status::Corrupt;
      if (stream.msg != nullptr) result.detail = stream.msg;
      break;
    }
    // Output room was left over or no progress was possible: all input is used.
    if (stream.avail_out != 0 || status == Z_BUF_ERROR) {
      result.status = Inflated::Status::NeedInput;
      break;
    }
  }
  result.consumed = in.size() - stream.avail_in;
  inflateEnd(&stream);
  return result;
}

}  // namespace

std::string gzip_member(std::string_view data, const MemberStyle& style) {
  z_stream stream{};
  if (deflateInit2(&stream, style.level, Z_DEFLATED, 16 + style.window_bits, 8, style.strategy) !=
      Z_OK) {
    zlib_failed("deflateInit2");
  }
  char name[] = "crawl-00001.warc";
  char comment[] = "written by the file_scan target";
  unsigned char extra[] = {'Q', 'M', 3, 0, 1, 2, 3, 'A', 'B', 0, 0};
  gz_header header{};
  header.os = 3;
  if (style.name) header.name = reinterpret_cast<Bytef*>(name);
  if (style.comment) header.comment = reinterpret_cast<Bytef*>(comment);
  if (style.extra) {
    header.extra = extra;
    header.extra_len = sizeof extra;
  }
  header.hcrc = style.header_crc ? 1 : 0;
  if (deflateSetHeader(&stream, &header) != Z_OK) zlib_failed("deflateSetHeader");
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 128, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) zlib_failed("deflate");
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

ZlibWalk walk_members(std::string_view file, bool padding_allowed, const SecondReader& second) {
  constexpr std::string_view magic = "\x1f\x8b";
  ZlibWalk walk;
  std::size_t pos = 0;
  while (pos < file.size()) {
    const std::string_view rest = file.substr(pos);
    if (rest.substr(0, magic.size()) != magic) {
      const bool zeros = std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\0'; });
      if (!zeros || !padding_allowed) {
        walk.end = WalkEnd::StrayData;
        walk.failed_at = pos;
      }
      return walk;
    }
    Inflated member = inflate_member(rest);
    if (member.status == Inflated::Status::Corrupt && second) {
      if (std::optional<SecondReading> reading = second(rest, member.detail, member.output)) {
        member.status = Inflated::Status::End;
        member.output = std::move(reading->output);
        member.consumed = reading->consumed;
      }
    }
    if (member.status != Inflated::Status::End) {
      walk.end = member.status == Inflated::Status::Corrupt ? WalkEnd::Corrupt : WalkEnd::Truncated;
      walk.failed_at = pos;
      walk.partial = std::move(member.output);
      walk.detail = std::move(member.detail);
      return walk;
    }
    const std::size_t start = walk.output.size();
    walk.output += member.output;
    walk.members.push_back(ZlibMember{pos, pos + member.consumed, start, walk.output.size()});
    pos += member.consumed;
  }
  return walk;
}

}  // namespace quillmark::fuzz
