// A second, deliberately plain reader of the archive framing, used as the
// oracle of the fuzz targets. It decodes byte by byte and keeps everything in
// ordinary containers, so that it shares no code and no shortcut with the
// scanner it checks.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::fuzz {

struct ReferenceRecord {
  std::map<std::string, std::string> headers;
  std::string body;
  std::size_t offset = 0;
  std::size_t length = 0;
};

struct ReferenceResult {
  bool ok = true;
  std::vector<ReferenceRecord> records;
  std::string detail;  // the InvalidRecord detail when !ok
};

ReferenceResult reference_read(std::string_view data);

bool reference_is_utf8(std::string_view text);

// `text` without Unicode White_Space at either end; `text` must be UTF-8.
std::string reference_trim(std::string_view text);

}  // namespace quillmark::fuzz
