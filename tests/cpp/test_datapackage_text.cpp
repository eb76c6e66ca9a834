// datapackage.json and datapackage-digest.json: what the readers find in
// texts of many layouts (a packager's, CRLF and tabs, compact, a byte-order
// mark, escaped keys, repeated keys), the exact message of every fault of the
// package's text, and new values written where the old ones stand: read
// again, they are the new values, and every other byte is as it was.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "package/datapackage_text.hpp"
#include "package/digest_text.hpp"
#include "package/json_string.hpp"
#include "package/text_edit.hpp"

namespace quillmark::package {
namespace {

const std::string kWarc = "archive/small.warc.gz";

// As a packager writes it (two-space indent, a final newline).
const std::string kPackager = R"({
  "profile": "data-package",
  "resources": [
    {
      "name": "index.cdx.gz",
      "path": "indexes/index.cdx.gz",
      "hash": "sha256:88c559e30bc88ebf8e124cf75757109e02249a091674edb41266cc6e1ec897f9",
      "bytes": 340
    },
    {
      "name": "small.warc.gz",
      "path": "archive/small.warc.gz",
      "hash": "sha256:ba2d75bfa1d9a8da55a638e5800a76e840a85e49af26eb715c725eb4bcc2fa84",
      "bytes": 646
    }
  ],
  "created": "2026-12-09T17:34:23Z",
  "wacz_version": "1.1.1",
  "software": "py-wacz 0.6.0"
}
)";

// The same facts as other writers and hands leave them: a byte-order mark,
// CRLF and tabs, escapes in keys and values, repeated keys (the last counts),
// number spellings, text outside ASCII, an earlier resources list replaced.
const std::string kOdd =
    "\xEF\xBB\xBF{\r\n\t\"resources\": 5,\r\n\t\"title\": \"Z\xC3\xBCrich \\u2713 \\ud83d\\ude00\","
    "\r\n\t\"res\\u006Furces\": [\r\n\t\t{\"path\": \"indexes\\/index.idx\", \"bytes\": 2.50, "
    "\"hash\": 1e400},\r\n\t\t{\"pa\\u0074h\": \"other\", \"hash\": \"sha256:old\", \"path\": "
    "\"archive\\/small.warc.gz\",\r\n\t\t \"bytes\": 1, \"h\\u0061sh\": \"sha256:\\u0061bc\", "
    "\"bytes\":646 }\r\n\t]\r\n}\r\n";

const std::string kCompact =
    R"({"resources":[{"path":"archive/small.warc.gz","hash":"sha256:abc","bytes":0}]})";

const std::string* const kTexts[] = {&kPackager, &kOdd, &kCompact};

Result<DataPackageText> read(const std::string& text, std::vector<std::string> paths = {kWarc}) {
  return read_datapackage(text, paths);
}

std::string error_of(const std::string& text, std::vector<std::string> paths = {kWarc}) {
  const Result<DataPackageText> package = read(text, paths);
  return package ? "ok" : package.error().display();
}

TEST(DataPackageText, FindsTheListedWarcInEveryLayout) {
  const std::pair<const std::string*, std::string> expected[] = {
      {&kPackager, "sha256:ba2d75bfa1d9a8da55a638e5800a76e840a85e49af26eb715c725eb4bcc2fa84"},
      {&kOdd, "sha256:abc"},
      {&kCompact, "sha256:abc"},
  };
  for (const auto& [text, hash] : expected) {
    const Result<DataPackageText> package = read(*text);
    ASSERT_TRUE(package.ok()) << package.error().display();
    const Result<const ListedResource*> warc = package->resource(kWarc);
    ASSERT_TRUE(warc.ok()) << warc.error().display();
    const ListedResource& entry = *warc.value();
    EXPECT_EQ(entry.hash_text().value(), hash);
    EXPECT_EQ(entry.size().value(), text == &kCompact ? 0u : 646u);
    // The spans hold the tokens as written.
    EXPECT_EQ(decoded_json_string(text->substr(entry.hash->span.begin, entry.hash->span.size())),
              hash);
    EXPECT_EQ(text->substr(entry.bytes->span.begin, entry.bytes->span.size()),
              text == &kCompact ? "0" : "646");
    EXPECT_EQ((*text)[entry.span.begin], '{');
    EXPECT_EQ((*text)[entry.span.end - 1], '}');
  }
  EXPECT_EQ(read(kPackager)->resource_count, 2u);
  EXPECT_EQ(read(kOdd)->resource_count, 2u);  // of the last resources list
}

TEST(DataPackageText, TheFaultsOfThePackagesOwnText) {
  const std::pair<std::string, std::string> cases[] = {
      {"[]", "not a JSON object"},
      {"\"resources\"", "not a JSON object"},
      {"{}", "resources is missing"},
      {R"({"Resources": []})", "resources is missing"},
      {R"({"x": {"resources": []}})", "resources is missing"},
      {R"({"resources": {}})", "resources is not a list of objects"},
      {R"({"resources": null})", "resources is not a list of objects"},
      {R"({"resources": [{}, 1]})", "resources is not a list of objects"},
      {R"({"resources": [[]]})", "resources is not a list of objects"},
      {R"({"resources": [], "resources": "x"})", "resources is not a list of objects"},
      {R"({"resources": 1, "resources": []})", "ok"},
      {R"({"resources": [{"path": "archive/small.warc.gz"}, {"path": "archive/small.warc.gz"}]})",
       "archive/small.warc.gz is listed more than once in resources"},
      // A path repeated in a list that a later one replaces does not count.
      {R"({"resources": [{"path": "archive/small.warc.gz"}, {"path": "archive/small.warc.gz"}],
          "resources": [{"path": "archive/small.warc.gz"}]})",
       "ok"},
      // Nor does a "path" that a later one in the same resource replaces.
      {R"({"resources": [{"path": "archive/small.warc.gz", "path": "x"},
                         {"path": "archive/small.warc.gz"}]})",
       "ok"},
      // Faults of the JSON come first.
      {R"([1,)", "not valid JSON: expected a value at byte 3"},
      {R"({"resources": "\ud800"})", "lone surrogate \\ud800 at byte 15"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(error_of(text), expected) << text;
  }
  const Result<DataPackageText> twice =
      read(R"({"resources":[{"path":"archive/small.warc.gz"},{"path":"archive/small.warc.gz"}]})");
  EXPECT_EQ(twice.error().offset(), 47u);  // the second resource
  EXPECT_EQ(read(R"({"resources": {}})").error().offset(), 14u);
}

TEST(DataPackageText, TheLookupsNameThePath) {
  const auto lookup = [](const std::string& resource) -> std::string {
    const std::string text =
        R"({"resources": [{"path": "archive/small.warc.gz")" + resource + "}]}";
    const Result<DataPackageText> package = read(text);
    if (!package) return package.error().display();
    const Result<const ListedResource*> entry = package->resource(kWarc);
    if (!entry) return entry.error().display();
    const Result<std::string_view> hash = entry.value()->hash_text();
    const Result<std::uint64_t> size = entry.value()->size();
    return (hash ? std::string(hash.value()) : hash.error().display()) + " / " +
           (size ? std::to_string(size.value()) : size.error().display());
  };
  const std::string no_hash = "the hash of archive/small.warc.gz is missing / ";
  const std::pair<std::string, std::string> cases[] = {
      {"", no_hash + "the bytes of archive/small.warc.gz is missing"},
      {R"(, "hash": null, "bytes": 0)", "the hash of archive/small.warc.gz is not a string / 0"},
      {R"(, "hash": ["x"], "bytes": 18446744073709551615)",
       "the hash of archive/small.warc.gz is not a string / 18446744073709551615"},
      {R"(, "hash": "", "bytes": 18446744073709551616)",
       " / the bytes of archive/small.warc.gz is out of range"},
      {R"(, "bytes": 100000000000000000000000000000)",
       no_hash + "the bytes of archive/small.warc.gz is out of range"},
  };
  for (const auto& [resource, expected] : cases) EXPECT_EQ(lookup(resource), expected) << resource;
  for (const char* not_whole : {"-1", "-0", "2.5", "1e3", "1E2", "10.0", "\"7\"", "null", "[]"}) {
    EXPECT_EQ(lookup(std::string(R"(, "hash": "h", "bytes": )") + not_whole),
              "h / the bytes of archive/small.warc.gz is not a whole number")
        << not_whole;
  }
  EXPECT_EQ(read(kPackager)->resource("archive/other.warc").error().display(),
            "archive/other.warc is not listed in resources");
  // A path not asked for is not kept, whatever the text lists.
  EXPECT_EQ(read(kPackager)->resource("indexes/index.cdx.gz").error().display(),
            "indexes/index.cdx.gz is not listed in resources");
  const Result<DataPackageText> both = read(kPackager, {"indexes/index.cdx.gz", kWarc, kWarc});
  ASSERT_TRUE(both.ok());
  EXPECT_EQ(both->listed.size(), 2u);
  EXPECT_EQ(both->resource("indexes/index.cdx.gz").value()->size().value(), 340u);
}

// Writes `hash` and `size` where the listed WARC's values stand and checks
// that the text reads back with them and is otherwise unchanged.
void check_rewrite(const std::string& text, const std::string& hash, std::uint64_t size) {
  const Result<DataPackageText> before = read(text);
  ASSERT_TRUE(before.ok());
  const ListedResource& old = *before->resource(kWarc).value();
  std::vector<TextEdit> edits = {{old.hash->span, json_string_token(hash)},
                                 {old.bytes->span, std::to_string(size)}};
  if (edits[1].span.begin < edits[0].span.begin) std::swap(edits[0], edits[1]);
  const Result<std::string> edited = edit_text(text, edits);
  ASSERT_TRUE(edited.ok());
  const Result<DataPackageText> after = read(edited.value());
  ASSERT_TRUE(after.ok()) << after.error().display();
  const ListedResource& now = *after->resource(kWarc).value();
  EXPECT_EQ(now.hash_text().value(), hash);
  EXPECT_EQ(now.size().value(), size);
  // Around and between the two values, the bytes are the old ones.
  const TextSpan first = edits[0].span, second = edits[1].span;
  const std::size_t grew = edits[0].replacement.size() - first.size();
  const std::size_t grew_more = grew + edits[1].replacement.size() - second.size();
  EXPECT_EQ(edited->substr(0, first.begin), text.substr(0, first.begin));
  EXPECT_EQ(edited->substr(first.end + grew, second.begin - first.end),
            text.substr(first.end, second.begin - first.end));
  EXPECT_EQ(edited->substr(second.end + grew_more), text.substr(second.end));
}

TEST(DataPackageText, NewValuesReadBackAndNothingElseChanges) {
  std::mt19937_64 random(3);
  const std::string odd_hashes[] = {"sha256:" + std::string(64, 'f'), "", "a\"b\\c\nd\x01",
                                    "\xF0\x9F\x98\x80 \xC3\xA9", "sha256:\\u0041"};
  for (const std::string* text : kTexts) {
    for (const std::string& hash : odd_hashes) {
      check_rewrite(*text, hash, random());
      check_rewrite(*text, hash, 0);
      check_rewrite(*text, hash, UINT64_MAX);
    }
  }
}

TEST(DataPackageText, EditsMustBeInOrderAndInside) {
  const std::string text = "0123456789";
  const TextEdit overlapping[] = {{{2, 5}, "x"}, {{4, 6}, "y"}};
  EXPECT_EQ(edit_text(text, overlapping).error().display(), "edits overlap at byte 4");
  const TextEdit backwards[] = {{{6, 7}, "x"}, {{2, 3}, "y"}};
  EXPECT_EQ(edit_text(text, backwards).error().display(), "edits overlap at byte 2");
  const TextEdit past[] = {{{8, 11}, "x"}};
  EXPECT_EQ(edit_text(text, past).error().display(), "edit past the end of the text at byte 11");
  const TextEdit touching[] = {{{0, 2}, "ab"}, {{2, 2}, "-"}, {{2, 10}, ""}};
  EXPECT_EQ(edit_text(text, touching).value(), "ab-");
}

std::string without_signature(const std::string& text) {
  const Result<PackageDigestText> digest = read_package_digest(text);
  EXPECT_TRUE(digest.ok()) << digest.error().display();
  std::vector<TextEdit> edits;
  for (const TextSpan& span : digest->signature_spans) edits.push_back({span, ""});
  const Result<std::string> edited = edit_text(text, edits);
  EXPECT_TRUE(edited.ok());
  const Result<PackageDigestText> again = read_package_digest(edited.value());
  EXPECT_TRUE(again.ok()) << edited.value();
  if (again) {
    EXPECT_FALSE(again->is_signed);
    EXPECT_TRUE(again->signature_spans.empty());
    EXPECT_EQ(again->hash_string, digest->hash_string);
  }
  return edited.value();
}

TEST(PackageDigestText, ReadsPathHashAndSignature) {
  const std::string packager =
      "{\n  \"path\": \"datapackage.json\",\n  \"hash\": "
      "\"sha256:fe1c947c70b5edcacb5190b854d33f30e6a23f4dcb20ccc9ff73b3c6f40e44c6\"\n}";
  const Result<PackageDigestText> plain = read_package_digest(packager);
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(plain->path_text().value(), "datapackage.json");
  EXPECT_EQ(plain->hash_text().value(),
            "sha256:fe1c947c70b5edcacb5190b854d33f30e6a23f4dcb20ccc9ff73b3c6f40e44c6");
  EXPECT_EQ(packager.substr(plain->hash->span.begin, plain->hash->span.size()),
            "\"sha256:fe1c947c70b5edcacb5190b854d33f30e6a23f4dcb20ccc9ff73b3c6f40e44c6\"");
  EXPECT_FALSE(plain->is_signed);
  EXPECT_TRUE(plain->signature_spans.empty());

  const Result<PackageDigestText> escaped = read_package_digest(
      R"({"p\u0061th": "x", "path": "datapackage.json", "hash": 1, "hash": "h", "signedData": {}, "signedD\u0061ta": null})");
  ASSERT_TRUE(escaped.ok());
  EXPECT_EQ(escaped->path_text().value(), "datapackage.json");
  EXPECT_EQ(escaped->hash_text().value(), "h");
  EXPECT_FALSE(escaped->is_signed);  // the last one is null
  EXPECT_TRUE(read_package_digest(R"({"signedData": false})")->is_signed);

  EXPECT_EQ(read_package_digest("[]").error().display(), "not a JSON object");
  EXPECT_EQ(read_package_digest("{").error().display(),
            "not valid JSON: expected a key or '}' at byte 1");
  const Result<PackageDigestText> empty = read_package_digest("{\"hash\": {}}");
  EXPECT_EQ(empty->path_text().error().display(), "path is missing");
  EXPECT_EQ(empty->hash_text().error().display(), "hash is not a string");
}

TEST(PackageDigestText, RemovingTheSignatureKeepsEveryOtherByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\n  \"path\": \"datapackage.json\",\n  \"hash\": \"h\",\n  \"signedData\": {\"a\": [1, "
       "{\"b\": 2}]}\n}\n",
       "{\n  \"path\": \"datapackage.json\",\n  \"hash\": \"h\"\n}\n"},
      {"{\"signedData\": {}, \"hash\": \"h\"}", "{\"hash\": \"h\"}"},
      {"{\"signedData\":1}", "{}"},
      {"{ \"signedData\" : 1 , \"signedData\" : 2 }", "{  }"},
      {"{\"signedData\":1,\"hash\":\"h\",\"signedData\":2,\"signedData\":3,\"x\":0,"
       "\"signedData\":4}",
       "{\"hash\":\"h\",\"x\":0}"},
      {"\xEF\xBB\xBF{\r\n\t\"hash\": \"h\",\r\n\t\"sign\\u0065dData\": null\r\n}",
       "\xEF\xBB\xBF{\r\n\t\"hash\": \"h\"\r\n}"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(without_signature(text), expected) << text;
}

}  // namespace
}  // namespace quillmark::package
