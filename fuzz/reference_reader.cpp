#include "reference_reader.hpp"

#include <optional>

namespace quillmark::fuzz {
namespace {

using Bytes = std::string_view;

unsigned byte_at(Bytes text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

// Length of the well-formed UTF-8 sequence at `i`, or 0. Ranges follow the
// table of well-formed byte sequences in the Unicode standard.
std::size_t sequence_length(Bytes text, std::size_t i) {
  const unsigned lead = byte_at(text, i);
  if (lead < 0x80) return 1;
  unsigned second_low = 0x80, second_high = 0xBF;
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3, second_low = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    length = 3;
  } else if (lead == 0xED) {
    length = 3, second_high = 0x9F;
  } else if (lead == 0xF0) {
    length = 4, second_low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4, second_high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  const unsigned second = byte_at(text, i + 1);
  if (second < second_low || second > second_high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    const unsigned next = byte_at(text, i + k);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

std::vector<char32_t> decode(Bytes text) {
  std::vector<char32_t> points;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(text, i);
    char32_t point = byte_at(text, i);
    if (length == 2) point &= 0x1F;
    if (length == 3) point &= 0x0F;
    if (length == 4) point &= 0x07;
    for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (byte_at(text, i + k) & 0x3F);
    points.push_back(point);
    i += length;
  }
  return points;
}

std::string encode(const std::vector<char32_t>& points, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) {
    const char32_t p = points[i];
    if (p < 0x80) {
      text += static_cast<char>(p);
    } else if (p < 0x800) {
      text += static_cast<char>(0xC0 | (p >> 6));
      text += static_cast<char>(0x80 | (p & 0x3F));
    } else if (p < 0x10000) {
      text += static_cast<char>(0xE0 | (p >> 12));
      text += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (p & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (p >> 18));
      text += static_cast<char>(0x80 | ((p >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (p & 0x3F));
    }
  }
  return text;
}

bool is_white_space(char32_t p) {
  return (p >= 0x09 && p <= 0x0D) || p == 0x20 || p == 0x85 || p == 0xA0 || p == 0x1680 ||
         (p >= 0x2000 && p <= 0x200A) || p == 0x2028 || p == 0x2029 || p == 0x202F || p == 0x205F ||
         p == 0x3000;
}

std::string trim(Bytes text) {
  const std::vector<char32_t> points = decode(text);
  std::size_t from = 0, to = points.size();
  while (from < to && is_white_space(points[from])) ++from;
  while (to > from && is_white_space(points[to - 1])) --to;
  return encode(points, from, to);
}

std::string lower_ascii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::string> lines_of(Bytes block) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : block) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::optional<std::size_t> parse_number(const std::string& text) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  if (i == text.size()) return std::nullopt;
  unsigned __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > static_cast<unsigned __int128>(SIZE_MAX)) return std::nullopt;
  }
  return static_cast<std::size_t>(value);
}

ReferenceResult failure(std::string detail) {
  ReferenceResult result;
  result.ok = false;
  result.detail = std::move(detail);
  return result;
}

}  // namespace

std::string reference_trim(std::string_view text) {
  return trim(text);
}

bool reference_is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

ReferenceResult reference_read(std::string_view data) {
  ReferenceResult result;
  std::size_t pos = 0;
  while (true) {
    while (pos < data.size() && (data[pos] == '\r' || data[pos] == '\n')) ++pos;
    if (pos == data.size()) return result;

    ReferenceRecord record;
    record.offset = pos;
    if (data.substr(pos, 8) != "WARC/1.1") {
      return failure("expected WARC/1.1 at offset " + std::to_string(pos));
    }
    std::size_t terminator = pos;
    while (terminator + 4 <= data.size() && data.substr(terminator, 4) != "\r\n\r\n") ++terminator;
    if (terminator + 4 > data.size()) return failure("unterminated header");

    const Bytes block = data.substr(pos, terminator - pos);
    if (!reference_is_utf8(block)) return failure("non-UTF-8 header");

    const std::vector<std::string> lines = lines_of(block);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const std::size_t colon = lines[i].find(':');
      if (colon == std::string::npos) continue;
      const std::string name = lower_ascii(trim(Bytes(lines[i]).substr(0, colon)));
      record.headers[name] = trim(Bytes(lines[i]).substr(colon + 1));
    }
    const auto length_header = record.headers.find("content-length");
    if (length_header == record.headers.end()) return failure("missing Content-Length");
    const std::optional<std::size_t> body_size = parse_number(length_header->second);
    if (!body_size) return failure("invalid Content-Length");

    const std::size_t body_start = terminator + 4;
    if (*body_size > data.size() - body_start) return failure("body extends past end of data");
    record.body = std::string(data.substr(body_start, *body_size));
    std::size_t end = body_start + *body_size;
    if (data.substr(end, 4) == "\r\n\r\n") {
      end += 4;
    } else if (data.substr(end, 2) == "\n\n") {
      end += 2;
    }
    record.length = end - record.offset;
    result.records.push_back(std::move(record));
    pos = end;
  }
}

}  // namespace quillmark::fuzz
