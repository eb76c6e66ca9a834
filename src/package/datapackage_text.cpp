#include "package/datapackage_text.hpp"

#include <algorithm>
#include <limits>

#include "package/json_string.hpp"

namespace quillmark::package {
namespace {

constexpr JsonRole kTop = 1, kResourceList = 2, kResource = 3;
constexpr JsonKey kResources = 1, kPath = 1, kHash = 2, kBytes = 3;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

Error text_error(std::string message, std::size_t at = 0) {
  return Error::package_text(std::move(message), at);
}

bool is_scalar(JsonKind kind) noexcept {
  return kind != JsonKind::Object && kind != JsonKind::Array;
}

class Reader final : public JsonVisitor {
 public:
  Reader(std::string_view text, std::span<const std::string> paths) : text_(text) {
    for (const std::string& path : paths) {
      wanted_.push_back(path);
      longest_ = std::max(longest_, path.size());
    }
    std::sort(wanted_.begin(), wanted_.end());
    wanted_.erase(std::unique(wanted_.begin(), wanted_.end()), wanted_.end());
    seen_.resize(wanted_.size());
  }

  JsonKey key(JsonRole object, std::string_view token, std::size_t at) override;
  JsonRole open(JsonRole parent, JsonKey key, JsonKind kind, std::size_t at) override;
  void value(JsonRole parent, JsonKey key, const JsonValue& value) override;

  Result<DataPackageText> result() &&;

 private:
  // A new "resources" member: what earlier ones held no longer counts.
  void begin_resources(bool is_list, std::size_t at);
  // The wanted path that the string token lists, or kNone.
  std::size_t wanted_index(std::string_view token);
  void end_resource(TextSpan span);

  std::string_view text_;
  std::vector<std::string_view> wanted_;  // sorted, each once
  std::size_t longest_ = 0;
  std::string scratch_;  // a decoded path, up to one byte longer than longest_

  bool top_is_object_ = false;
  bool resources_seen_ = false;
  bool resources_ok_ = false;
  std::size_t resources_at_ = 0;
  DataPackageText package_;
  std::vector<bool> seen_;  // per wanted path, in the current resources list
  std::optional<Error> twice_;

  // The resource being read.
  std::size_t match_ = kNone;
  std::optional<JsonValue> hash_, bytes_;
};

JsonKey Reader::key(JsonRole object, std::string_view token, std::size_t) {
  if (object == kTop) return json_string_equals(token, "resources") ? kResources : 0;
  if (object != kResource) return 0;
  if (json_string_equals(token, "path")) return kPath;
  if (json_string_equals(token, "hash")) return kHash;
  if (json_string_equals(token, "bytes")) return kBytes;
  return 0;
}

JsonRole Reader::open(JsonRole parent, JsonKey key, JsonKind kind, std::size_t at) {
  if (parent == kDocument) {
    top_is_object_ = kind == JsonKind::Object;
    return top_is_object_ ? kTop : kIgnored;
  }
  if (parent == kTop && key == kResources) {
    begin_resources(kind == JsonKind::Array, at);
    return kind == JsonKind::Array ? kResourceList : kIgnored;
  }
  if (parent == kResourceList) {
    ++package_.resource_count;
    if (kind != JsonKind::Object) {
      resources_ok_ = false;
      return kIgnored;
    }
    match_ = kNone;
    hash_.reset();
    bytes_.reset();
    return kResource;
  }
  return kIgnored;
}

void Reader::value(JsonRole parent, JsonKey key, const JsonValue& value) {
  if (parent == kTop) {
    if (key == kResources && is_scalar(value.kind)) begin_resources(false, value.span.begin);
  } else if (parent == kResourceList) {
    if (is_scalar(value.kind)) {
      ++package_.resource_count;
      resources_ok_ = false;
    } else if (value.kind == JsonKind::Object) {
      end_resource(value.span);
    }
  } else if (parent == kResource) {
    if (key == kPath) {
      const std::string_view token = text_.substr(value.span.begin, value.span.size());
      match_ = value.kind == JsonKind::String ? wanted_index(token) : kNone;
    } else if (key == kHash) {
      hash_ = value;
    } else if (key == kBytes) {
      bytes_ = value;
    }
  }
}

void Reader::begin_resources(bool is_list, std::size_t at) {
  resources_seen_ = true;
  resources_ok_ = is_list;
  resources_at_ = at;
  package_.resource_count = 0;
  package_.listed.clear();
  std::fill(seen_.begin(), seen_.end(), false);
  twice_.reset();
}

std::size_t Reader::wanted_index(std::string_view token) {
  scratch_.clear();
  const bool short_enough = decode_json_string(token, [&](std::string_view piece) {
    if (piece.size() > longest_ - scratch_.size()) return false;
    scratch_ += piece;
    return true;
  });
  if (!short_enough) return kNone;
  const auto found = std::lower_bound(wanted_.begin(), wanted_.end(), std::string_view(scratch_));
  return found != wanted_.end() && *found == scratch_
             ? static_cast<std::size_t>(found - wanted_.begin())
             : kNone;
}

void Reader::end_resource(TextSpan span) {
  if (match_ == kNone) return;
  if (seen_[match_]) {
    if (!twice_) {
      twice_ = text_error(std::string(wanted_[match_]) + " is listed more than once in resources",
                          span.begin);
    }
    return;
  }
  seen_[match_] = true;
  ListedResource& listed = package_.listed.emplace_back();
  listed.path = wanted_[match_];
  listed.span = span;
  listed.hash = hash_;
  if (hash_ && hash_->kind == JsonKind::String) {
    listed.hash_string = decoded_json_string(text_.substr(hash_->span.begin, hash_->span.size()));
  }
  listed.bytes = bytes_;
  if (bytes_ && bytes_->kind == JsonKind::Number) {
    const std::string_view number = text_.substr(bytes_->span.begin, bytes_->span.size());
    if (number.find_first_not_of("0123456789") == std::string_view::npos) {
      std::uint64_t whole = 0;
      for (const char digit : number) {
        if (__builtin_mul_overflow(whole, std::uint64_t{10}, &whole) ||
            __builtin_add_overflow(whole, static_cast<std::uint64_t>(digit - '0'), &whole)) {
          listed.bytes_out_of_range = true;
          break;
        }
      }
      if (!listed.bytes_out_of_range) listed.whole_bytes = whole;
    }
  }
}

Result<DataPackageText> Reader::result() && {
  if (!top_is_object_) return text_error("not a JSON object");
  if (!resources_seen_) return text_error("resources is missing");
  if (!resources_ok_) return text_error("resources is not a list of objects", resources_at_);
  if (twice_) return std::move(*twice_);
  return std::move(package_);
}

}  // namespace

Result<std::string_view> ListedResource::hash_text() const {
  if (!hash) return text_error("the hash of " + path + " is missing");
  if (hash->kind != JsonKind::String)
    return text_error("the hash of " + path + " is not a string", hash->span.begin);
  return std::string_view(hash_string);
}

Result<std::uint64_t> ListedResource::size() const {
  if (!bytes) return text_error("the bytes of " + path + " is missing");
  if (whole_bytes) return *whole_bytes;
  return text_error(
      "the bytes of " + path + (bytes_out_of_range ? " is out of range" : " is not a whole number"),
      bytes->span.begin);
}

Result<const ListedResource*> DataPackageText::resource(std::string_view path) const {
  for (const ListedResource& entry : listed) {
    if (entry.path == path) return &entry;
  }
  return text_error(std::string(path) + " is not listed in resources");
}

Result<DataPackageText> read_datapackage(std::string_view text,
                                         std::span<const std::string> paths) {
  Reader reader(text, paths);
  if (Status walked = walk_json(text, reader); !walked) return std::move(walked).error();
  return std::move(reader).result();
}

}  // namespace quillmark::package
