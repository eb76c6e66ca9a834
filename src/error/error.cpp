#include "error/error.hpp"

namespace quillmark {

std::string Error::display() const {
  switch (kind_) {
    case ErrorKind::NoManifest:
      return "no C2PA manifest record found";
    case ErrorKind::InvalidRecord:
      return "invalid WARC record: " + detail_;
    case ErrorKind::Io:
      return "I/O error: " + (detail_.empty() ? io_.message() : detail_);
    case ErrorKind::Gzip:
    case ErrorKind::PackageText:
      return detail_;
  }
  return {};
}

}  // namespace quillmark
