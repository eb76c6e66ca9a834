#include "package/digest_text.hpp"

#include "package/json_string.hpp"

namespace quillmark::package {
namespace {

constexpr JsonRole kTop = 1;
constexpr JsonKey kPath = 1, kHash = 2, kSignature = 3;
constexpr std::size_t kNone = std::string_view::npos;

class Reader final : public JsonVisitor {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonKey key(JsonRole object, std::string_view token, std::size_t at) override {
    if (object != kTop) return 0;
    key_at_ = at;
    if (json_string_equals(token, "path")) return kPath;
    if (json_string_equals(token, "hash")) return kHash;
    if (json_string_equals(token, "signedData")) return kSignature;
    return 0;
  }

  JsonRole open(JsonRole parent, JsonKey, JsonKind kind, std::size_t) override {
    if (parent != kDocument) return kIgnored;
    top_is_object_ = kind == JsonKind::Object;
    return top_is_object_ ? kTop : kIgnored;
  }

  void value(JsonRole parent, JsonKey key, const JsonValue& value) override {
    if (parent != kTop) return;
    if (key == kPath || key == kHash) {
      std::optional<JsonValue>& slot = key == kPath ? digest_.path : digest_.hash;
      std::string& decoded = key == kPath ? digest_.path_string : digest_.hash_string;
      slot = value;
      decoded.clear();
      if (value.kind == JsonKind::String) {
        decoded = decoded_json_string(text_.substr(value.span.begin, value.span.size()));
      }
    }
    if (key == kSignature) {
      digest_.is_signed = value.kind != JsonKind::Null;
      if (run_key_at_ == kNone) run_key_at_ = key_at_;
      run_end_ = value.span.end;
      return;
    }
    if (run_key_at_ != kNone) end_run(key_at_);
    kept_end_ = value.span.end;
  }

  Result<PackageDigestText> result() && {
    if (!top_is_object_) return Error::package_text("not a JSON object", 0);
    if (run_key_at_ != kNone) end_run(kNone);
    return std::move(digest_);
  }

 private:
  // A run of signedData members ends: before the member whose key is at
  // `next_key_at`, or at the end of the object (kNone).
  void end_run(std::size_t next_key_at) {
    if (kept_end_ != kNone) {
      digest_.signature_spans.push_back(TextSpan{kept_end_, run_end_});  // ", ...signedData"
    } else {
      // First in the object: up to the next member's key, the comma with it.
      digest_.signature_spans.push_back(
          TextSpan{run_key_at_, next_key_at == kNone ? run_end_ : next_key_at});
    }
    run_key_at_ = kNone;
  }

  std::string_view text_;
  bool top_is_object_ = false;
  PackageDigestText digest_;
  std::size_t key_at_ = 0;          // the key of the member being read
  std::size_t kept_end_ = kNone;    // the end of the last member that stays
  std::size_t run_key_at_ = kNone;  // the key of the first signedData of a run
  std::size_t run_end_ = 0;         // the end of the last signedData of the run
};

Result<std::string_view> string_member(const std::optional<JsonValue>& value,
                                       const std::string& decoded, const char* name) {
  if (!value) return Error::package_text(std::string(name) + " is missing", 0);
  if (value->kind != JsonKind::String) {
    return Error::package_text(std::string(name) + " is not a string", value->span.begin);
  }
  return std::string_view(decoded);
}

}  // namespace

Result<std::string_view> PackageDigestText::path_text() const {
  return string_member(path, path_string, "path");
}

Result<std::string_view> PackageDigestText::hash_text() const {
  return string_member(hash, hash_string, "hash");
}

Result<PackageDigestText> read_package_digest(std::string_view text) {
  Reader reader(text);
  if (Status walked = walk_json(text, reader); !walked) return std::move(walked).error();
  return std::move(reader).result();
}

}  // namespace quillmark::package
