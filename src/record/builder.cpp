#include "record/builder.hpp"

#include <charconv>
#include <cstring>

#include "record/warc_date.hpp"
#include "record/write_to_buffer.hpp"

namespace quillmark {
namespace {

constexpr std::string_view kTypePrefix = "\r\nWARC-Type: ";
constexpr std::string_view kIdPrefix = "\r\nWARC-Record-ID: <";
constexpr std::string_view kIdSuffix = ">\r\n";
constexpr std::string_view kTargetPrefix = "WARC-Target-URI: ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kDatePrefix = "WARC-Date: ";
constexpr std::string_view kContentTypePrefix = "\r\nContent-Type: ";
constexpr std::string_view kLengthPrefix = "\r\nContent-Length: ";
constexpr std::string_view kBlankLine = "\r\n\r\n";  // ends the header block; also the separator

struct DecimalText {
  char digits[24];
  std::size_t size;
};

DecimalText decimal(std::size_t value) noexcept {
  DecimalText text{};
  const auto result = std::to_chars(text.digits, text.digits + sizeof text.digits, value);
  text.size = static_cast<std::size_t>(result.ptr - text.digits);
  return text;
}

inline char* put(char* out, std::string_view text) noexcept {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

std::size_t record_size(const RecordFields& f, std::string_view date) noexcept {
  std::size_t size = WARC_VERSION.size() + kTypePrefix.size() + f.warc_type.size() +
                     kIdPrefix.size() + f.record_id.size() + kIdSuffix.size() + kDatePrefix.size() +
                     date.size() + kContentTypePrefix.size() + f.content_type.size() +
                     kLengthPrefix.size() + decimal(f.body.size()).size + kBlankLine.size() +
                     f.body.size() + kBlankLine.size();
  if (f.target_uri) size += kTargetPrefix.size() + f.target_uri->size() + kLineEnd.size();
  return size;
}

char* write_record(const RecordFields& f, std::string_view date, char* out) noexcept {
  const DecimalText length = decimal(f.body.size());
  out = put(out, WARC_VERSION);
  out = put(out, kTypePrefix);
  out = put(out, f.warc_type);
  out = put(out, kIdPrefix);
  out = put(out, f.record_id);
  out = put(out, kIdSuffix);
  if (f.target_uri) {
    out = put(out, kTargetPrefix);
    out = put(out, *f.target_uri);
    out = put(out, kLineEnd);
  }
  out = put(out, kDatePrefix);
  out = put(out, date);
  out = put(out, kContentTypePrefix);
  out = put(out, f.content_type);
  out = put(out, kLengthPrefix);
  out = put(out, std::string_view(length.digits, length.size));
  out = put(out, kBlankLine);
  out = put(out, f.body);
  return put(out, kBlankLine);
}

PreparedRecord::PreparedRecord(const RecordFields& fields)
    : fields_(fields), date_(format_warc_date()) {}

ByteBuffer build_record(std::string_view warc_type, std::string_view content_type,
                        std::string_view record_id, std::optional<std::string_view> target_uri,
                        std::string_view body) {
  return write_to_buffer(PreparedRecord({warc_type, content_type, record_id, target_uri, body}));
}

}  // namespace quillmark
