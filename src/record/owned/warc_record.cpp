#include "record/owned/warc_record.hpp"

#include "record/manifest.hpp"

namespace quillmark {

bool WarcRecord::is_c2pa_manifest() const noexcept {
  const std::string* warc_type = headers.find("warc-type");
  const std::string* content_type = headers.find("content-type");
  return is_manifest_headers(warc_type ? *warc_type : std::string_view{}, warc_type != nullptr,
                             content_type ? *content_type : std::string_view{},
                             content_type != nullptr);
}

}  // namespace quillmark
