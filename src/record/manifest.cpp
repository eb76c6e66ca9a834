#include "record/manifest.hpp"

#include <optional>

#include "record/scanner.hpp"

namespace quillmark {

bool is_manifest_headers(std::string_view warc_type, bool has_warc_type,
                         std::string_view content_type, bool has_content_type) noexcept {
  return has_warc_type && has_content_type && warc_type == MANIFEST_WARC_TYPE &&
         content_type == MANIFEST_CONTENT_TYPE;
}

void ManifestWatch::operator()(std::string_view name, std::string_view raw_value) noexcept {
  if (name.size() == 9 && equals_ascii_lower(name, "warc-type")) {
    warc_type_ = trim_white_space(raw_value);
  } else if (name.size() == 12 && equals_ascii_lower(name, "content-type")) {
    content_type_ = trim_white_space(raw_value);
  }
}

bool ManifestWatch::is_manifest() const noexcept {
  return is_manifest_headers(warc_type_.value_or(""), warc_type_.has_value(),
                             content_type_.value_or(""), content_type_.has_value());
}

Result<std::string_view> locate_manifest(std::string_view warc) {
  RecordScanner scanner(warc);
  RecordFrame frame;
  std::optional<std::string_view> manifest;
  for (;;) {
    ManifestWatch watch;
    if (!scanner.next(frame, watch)) break;
    if (watch.is_manifest()) manifest = frame.body;
  }
  if (scanner.error()) return std::move(*scanner.error());
  if (!manifest) return Error::no_manifest();
  return *manifest;
}

Result<ByteBuffer> find_manifest(std::string_view warc) {
  Result<std::string_view> body = locate_manifest(warc);
  if (!body) return std::move(body).error();
  return ByteBuffer(body.value());
}

}  // namespace quillmark
