// The readers of datapackage.json and datapackage-digest.json on any text,
// against a plain recursive reader (reference_json.hpp):
// - a text is accepted exactly when the reference reads it, and a refused one
//   has a PackageText error naming a byte inside the text;
// - what the readers find (the resources that list the asked-for paths, their
//   hash and bytes with the spans of their values, the digest's path, hash and
//   signature) is what the reference's tree holds, the last of repeated keys;
// - new values written into those spans read back as exactly those values,
//   with every other byte as it was, and the text stays accepted;
// - removing the signature's spans leaves an accepted text whose members are
//   the old ones but the signature, each as it was written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "package/datapackage_text.hpp"
#include "package/digest_text.hpp"
#include "package/json_string.hpp"
#include "package/text_edit.hpp"
#include "reference_json.hpp"

using namespace quillmark;
using namespace quillmark::package;
using namespace quillmark::fuzz;

namespace {

using Kind = ReferenceJson::Kind;

JsonKind kind_of(Kind kind) {
  switch (kind) {
    case Kind::Object:
      return JsonKind::Object;
    case Kind::Array:
      return JsonKind::Array;
    case Kind::String:
      return JsonKind::String;
    case Kind::Number:
      return JsonKind::Number;
    case Kind::True:
      return JsonKind::True;
    case Kind::False:
      return JsonKind::False;
    case Kind::Null:
      break;
  }
  return JsonKind::Null;
}

// The value the reader found is the reference's: same kind, same span.
void require_same(const std::optional<JsonValue>& found, const ReferenceJson* expected) {
  QM_REQUIRE(found.has_value() == (expected != nullptr));
  if (!found) return;
  QM_REQUIRE(found->kind == kind_of(expected->kind));
  QM_REQUIRE(found->span.begin == expected->begin && found->span.end == expected->end);
}

void require_text_error(const Error& error, std::size_t size) {
  QM_REQUIRE(error.kind() == ErrorKind::PackageText);
  QM_REQUIRE(error.offset() <= size);
  QM_REQUIRE(!error.display().empty() && error.display().find('\n') == std::string::npos);
}

// A new value for a hash: needs escapes, reaches outside ASCII, and differs
// with the text.
std::string new_hash(std::string_view text) {
  std::string value = "sha256:\"\\/\n\x01\xC3\xA9\xF0\x9F\x98\x80";
  value += std::to_string(text.size());
  return value;
}

std::uint64_t new_size(std::string_view text) {
  std::uint64_t value = 1469598103934665603ULL;
  for (const char c : text) value = (value ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return text.size() % 3 == 0 ? UINT64_MAX : value;
}

// The paths the reference finds in the resources list, and one it does not.
std::vector<std::string> paths_of(const std::optional<ReferenceJson>& document) {
  std::vector<std::string> paths = {"archive/small.warc.gz"};
  if (!document || document->kind != Kind::Object) return paths;
  const ReferenceJson* resources = document->member("resources");
  if (resources == nullptr) return paths;
  for (const ReferenceJson& element : resources->elements) {
    const ReferenceJson* path = element.member("path");
    if (path != nullptr && path->kind == Kind::String) paths.push_back(path->string);
  }
  return paths;
}

// What read_datapackage must say of a text the reference reads, or nullopt
// when it must accept it.
std::optional<std::string> expected_fault(const ReferenceJson& document,
                                          const std::vector<std::string>& paths) {
  if (document.kind != Kind::Object) return "not a JSON object";
  const ReferenceJson* resources = document.member("resources");
  if (resources == nullptr) return "resources is missing";
  if (resources->kind != Kind::Array) return "resources is not a list of objects";
  for (const ReferenceJson& element : resources->elements) {
    if (element.kind != Kind::Object) return "resources is not a list of objects";
  }
  const std::set<std::string> asked(paths.begin(), paths.end());
  std::set<std::string> seen;
  for (const ReferenceJson& element : resources->elements) {
    const ReferenceJson* path = element.member("path");
    if (path == nullptr || path->kind != Kind::String || asked.count(path->string) == 0) continue;
    if (!seen.insert(path->string).second) {
      return path->string + " is listed more than once in resources";
    }
  }
  return std::nullopt;
}

void check_datapackage(std::string_view text, const std::optional<ReferenceJson>& document) {
  const std::vector<std::string> paths = paths_of(document);
  const Result<DataPackageText> package = read_datapackage(text, paths);
  if (!document) {
    QM_REQUIRE(!package.ok());
    require_text_error(package.error(), text.size());
    return;
  }
  const std::optional<std::string> fault = expected_fault(*document, paths);
  QM_REQUIRE(package.ok() == !fault.has_value());
  if (fault) {
    QM_REQUIRE(package.error().display() == *fault);
    return;
  }
  const ReferenceJson& resources = *document->member("resources");
  QM_REQUIRE(package->resource_count == resources.elements.size());

  // Each listed resource is the reference's, and new values go in its spans.
  std::vector<TextEdit> edits;
  std::size_t listed = 0;
  for (const ReferenceJson& element : resources.elements) {
    const ReferenceJson* path = element.member("path");
    if (path == nullptr || path->kind != Kind::String) continue;
    const Result<const ListedResource*> found = package->resource(path->string);
    QM_REQUIRE(found.ok());
    const ListedResource& entry = *found.value();
    ++listed;
    QM_REQUIRE(entry.span.begin == element.begin && entry.span.end == element.end);
    const ReferenceJson* hash = element.member("hash");
    const ReferenceJson* bytes = element.member("bytes");
    require_same(entry.hash, hash);
    require_same(entry.bytes, bytes);
    if (hash != nullptr && hash->kind == Kind::String) {
      QM_REQUIRE(entry.hash_text().value() == hash->string);
      QM_REQUIRE(json_string_token(hash->string).size() >= 2);
    } else {
      QM_REQUIRE(!entry.hash_text().ok());
    }
    const Result<std::uint64_t> size = entry.size();
    if (bytes != nullptr && bytes->kind == Kind::Number) {
      const std::string_view number = text.substr(bytes->begin, bytes->end - bytes->begin);
      const bool digits = number.find_first_not_of("0123456789") == std::string_view::npos;
      const std::string_view largest = "18446744073709551615";
      const bool fits = digits && (number.size() < largest.size() ||
                                   (number.size() == largest.size() && number <= largest));
      QM_REQUIRE(size.ok() == fits);
      if (fits) QM_REQUIRE(std::to_string(size.value()) == number);
      QM_REQUIRE(entry.bytes_out_of_range == (digits && !fits));
    } else {
      QM_REQUIRE(!size.ok());
    }
    if (hash != nullptr) edits.push_back({entry.hash->span, json_string_token(new_hash(text))});
    if (bytes != nullptr) edits.push_back({entry.bytes->span, std::to_string(new_size(text))});
  }
  QM_REQUIRE(package->listed.size() == listed);
  if (edits.empty()) return;

  std::sort(edits.begin(), edits.end(),
            [](const TextEdit& a, const TextEdit& b) { return a.span.begin < b.span.begin; });
  const Result<std::string> edited = edit_text(text, edits);
  QM_REQUIRE(edited.ok());
  // Every byte outside the spans is the old one.
  std::size_t old_at = 0, new_at = 0;
  for (const TextEdit& edit : edits) {
    const std::size_t kept = edit.span.begin - old_at;
    QM_REQUIRE(edited->compare(new_at, kept, text.substr(old_at, kept)) == 0);
    QM_REQUIRE(edited->compare(new_at + kept, edit.replacement.size(), edit.replacement) == 0);
    new_at += kept + edit.replacement.size();
    old_at = edit.span.end;
  }
  QM_REQUIRE(edited->substr(new_at) == text.substr(old_at));
  // Read again: accepted, with the new values where the old ones were.
  QM_REQUIRE(reference_json(edited.value(), kMaxJsonDepth).has_value());
  const Result<DataPackageText> again = read_datapackage(edited.value(), paths);
  QM_REQUIRE(again.ok());
  QM_REQUIRE(again->listed.size() == package->listed.size());
  for (const ListedResource& entry : again->listed) {
    if (entry.hash) QM_REQUIRE(entry.hash_text().value() == new_hash(text));
    if (entry.bytes) QM_REQUIRE(entry.size().value() == new_size(text));
  }
}

void check_digest(std::string_view text, const std::optional<ReferenceJson>& document) {
  const Result<PackageDigestText> digest = read_package_digest(text);
  if (!document) {
    QM_REQUIRE(!digest.ok());
    require_text_error(digest.error(), text.size());
    return;
  }
  QM_REQUIRE(digest.ok() == (document->kind == Kind::Object));
  if (!digest) {
    QM_REQUIRE(digest.error().display() == "not a JSON object");
    return;
  }
  const ReferenceJson* path = document->member("path");
  const ReferenceJson* hash = document->member("hash");
  const ReferenceJson* signature = document->member("signedData");
  require_same(digest->path, path);
  require_same(digest->hash, hash);
  if (path != nullptr && path->kind == Kind::String)
    QM_REQUIRE(digest->path_string == path->string);
  if (hash != nullptr && hash->kind == Kind::String)
    QM_REQUIRE(digest->hash_string == hash->string);
  QM_REQUIRE(digest->is_signed == (signature != nullptr && signature->kind != Kind::Null));

  // Without the signature: the other members, each as written, and no more.
  std::vector<TextEdit> edits;
  for (const TextSpan& span : digest->signature_spans) edits.push_back({span, ""});
  const Result<std::string> unsigned_text = edit_text(text, edits);
  QM_REQUIRE(unsigned_text.ok());
  const std::optional<ReferenceJson> rest = reference_json(unsigned_text.value(), kMaxJsonDepth);
  QM_REQUIRE(rest.has_value() && rest->kind == Kind::Object);
  std::vector<std::string> kept_before, kept_after;
  for (std::size_t i = 0; i < document->keys.size(); ++i) {
    const ReferenceJson& value = document->values[i];
    if (document->keys[i] != "signedData") {
      kept_before.push_back(document->keys[i] + "=" +
                            std::string(text.substr(value.begin, value.end - value.begin)));
    }
  }
  for (std::size_t i = 0; i < rest->keys.size(); ++i) {
    const ReferenceJson& value = rest->values[i];
    kept_after.push_back(rest->keys[i] + "=" +
                         unsigned_text->substr(value.begin, value.end - value.begin));
  }
  QM_REQUIRE(kept_before == kept_after);
  const Result<PackageDigestText> again = read_package_digest(unsigned_text.value());
  QM_REQUIRE(again.ok() && !again->is_signed && again->signature_spans.empty());

  // A new hash where the old one stands.
  if (!digest->hash) return;
  const TextEdit edit[] = {{digest->hash->span, json_string_token(new_hash(text))}};
  const Result<std::string> rehashed = edit_text(text, edit);
  QM_REQUIRE(rehashed.ok());
  const Result<PackageDigestText> read_back = read_package_digest(rehashed.value());
  QM_REQUIRE(read_back.ok() && read_back->hash_text().value() == new_hash(text));
  QM_REQUIRE(read_back->is_signed == digest->is_signed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<ReferenceJson> document = reference_json(text, kMaxJsonDepth);
  check_datapackage(text, document);
  check_digest(text, document);
  return 0;
}
