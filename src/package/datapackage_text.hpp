// datapackage.json, read in one pass for the resources a caller asks about.
//
//   std::vector<std::string> paths = {"archive/data.warc.gz"};
//   Result<DataPackageText> package = read_datapackage(text, paths);
//   Result<const ListedResource*> warc = package->resource("archive/data.warc.gz");
//   Result<std::uint64_t> size = warc.value()->size();        // its "bytes"
//   Result<std::string_view> hash = warc.value()->hash_text(); // "sha256:<hex>"
//   // new text: replace the hash->span and bytes->span of warc.value() (text_edit.hpp)
//
// The whole text is checked as JSON (json_walk.hpp: its errors come first);
// then the top level must be an object, and its "resources" member (the last
// one, where a key is repeated, as JSON readers keep the last) a list of
// objects. Keys are compared after their escapes are decoded. A resource
// lists a path when its "path" member (the last one) is a string equal to it.
// Only the resources that list an asked-for path are kept, so the memory
// needed beyond the text does not grow with the number of resources.
//
// Errors (PackageText; the offset is the byte concerned, 0 for the text as a
// whole), after those of the JSON:
//   "not a JSON object"
//   "resources is missing"
//   "resources is not a list of objects"             (offset: the value)
//   "archive/a.warc.gz is listed more than once in resources"
//                                                    (offset: the second resource)
// and from the lookups:
//   "archive/a.warc.gz is not listed in resources"
//   "the hash of archive/a.warc.gz is missing"
//   "the hash of archive/a.warc.gz is not a string"
//   "the bytes of archive/a.warc.gz is missing"
//   "the bytes of archive/a.warc.gz is not a whole number"   (-1, 2.5, 1e3, "7", ...)
//   "the bytes of archive/a.warc.gz is out of range"         (above 2^64 - 1)
// A path listed twice is refused rather than have one of its entries edited
// and the other left stale: readers differ in which of the two they believe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "package/json_walk.hpp"

namespace quillmark::package {

// The resource that lists one asked-for path.
struct ListedResource {
  std::string path;                          // as asked for
  TextSpan span;                             // the resource object, '{' to '}' included
  std::optional<JsonValue> hash;             // the value of its "hash" member, if it has one
  std::string hash_string;                   // that value decoded, when it is a string
  std::optional<JsonValue> bytes;            // the value of its "bytes" member, if it has one
  std::optional<std::uint64_t> whole_bytes;  // that value, when it is a whole number (digits only)
  bool bytes_out_of_range = false;           // digits only, above 2^64 - 1

  // The hash as a decoded string, or the error naming the path.
  Result<std::string_view> hash_text() const;
  // The size it lists, or the error naming the path.
  Result<std::uint64_t> size() const;
};

struct DataPackageText {
  std::size_t resource_count = 0;      // entries of the resources list
  std::vector<ListedResource> listed;  // in the order of the text

  // The resource listing `path` (one of the paths asked for), or the error.
  Result<const ListedResource*> resource(std::string_view path) const;
};

Result<DataPackageText> read_datapackage(std::string_view text, std::span<const std::string> paths);

}  // namespace quillmark::package
