// Error kinds, their display texts, and the Result wrapper.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "error/error.hpp"

namespace quillmark {
namespace {

TEST(ErrorDisplay, NoManifest) {
  const Error error = Error::no_manifest();
  EXPECT_EQ(error.kind(), ErrorKind::NoManifest);
  EXPECT_EQ(error.display(), "no C2PA manifest record found");
}

class InvalidRecordDisplay : public ::testing::TestWithParam<const char*> {};

TEST_P(InvalidRecordDisplay, PrefixesTheDetailAndAddsNothing) {
  const std::string detail = GetParam();
  const Error error = Error::invalid_record(detail, 17);
  EXPECT_EQ(error.kind(), ErrorKind::InvalidRecord);
  EXPECT_EQ(error.detail(), detail);
  EXPECT_EQ(error.offset(), 17u);
  EXPECT_EQ(error.display(), "invalid WARC record: " + detail);
}

INSTANTIATE_TEST_SUITE_P(EveryDetail, InvalidRecordDisplay,
                         ::testing::Values("expected WARC/1.1 at offset 0",
                                           "expected WARC/1.1 at offset 18446744073709551615",
                                           "unterminated header", "non-UTF-8 header",
                                           "missing Content-Length", "invalid Content-Length",
                                           "body extends past end of data", "empty WARC data", "",
                                           "d\xc3\xa9tail \xe2\x80\x94 non-ASCII"));

TEST(ErrorDisplay, InvalidRecordKeepsEmbeddedNul) {
  const std::string detail("a\0b", 3);
  EXPECT_EQ(Error::invalid_record(detail).display(), std::string("invalid WARC record: a\0b", 24));
}

TEST(ErrorDisplay, IoUsesTheSystemText) {
  const Error missing = Error::io(std::error_code(ENOENT, std::system_category()));
  EXPECT_EQ(missing.kind(), ErrorKind::Io);
  EXPECT_EQ(missing.display(), "I/O error: No such file or directory");
  const Error denied = Error::io(std::make_error_code(std::errc::permission_denied));
  EXPECT_EQ(denied.display(), "I/O error: Permission denied");
  // A text of its own stands in for the system's, the code is kept.
  const Error short_file = Error::io(std::make_error_code(std::errc::io_error), "ends early");
  EXPECT_EQ(short_file.display(), "I/O error: ends early");
  EXPECT_EQ(short_file.io_error(), std::make_error_code(std::errc::io_error));
  EXPECT_NE(short_file, Error::io(std::make_error_code(std::errc::io_error)));
}

TEST(ErrorDisplay, PackageTextIsItsMessageAlone) {
  const Error error = Error::package_text("invalid UTF-8 at byte 7", 7);
  EXPECT_EQ(error.kind(), ErrorKind::PackageText);
  EXPECT_EQ(error.display(), "invalid UTF-8 at byte 7");
  EXPECT_EQ(error.offset(), 7u);
  EXPECT_NE(error, Error::gzip("invalid UTF-8 at byte 7", 7));
}

TEST(ErrorEquality, ComparesKindDetailAndOffset) {
  EXPECT_EQ(Error::invalid_record("x", 3), Error::invalid_record("x", 3));
  EXPECT_NE(Error::invalid_record("x", 3), Error::invalid_record("x", 4));
  EXPECT_NE(Error::invalid_record("x", 3), Error::invalid_record("y", 3));
  EXPECT_NE(Error::invalid_record(""), Error::no_manifest());
  EXPECT_EQ(Error::no_manifest(), Error::no_manifest());
}

TEST(ResultWrapper, HoldsAValue) {
  Result<std::string> result(std::string("payload"));
  ASSERT_TRUE(result.ok());
  EXPECT_TRUE(static_cast<bool>(result));
  EXPECT_EQ(result->size(), 7u);
  const std::string moved = std::move(result).value();
  EXPECT_EQ(moved, "payload");
}

TEST(ResultWrapper, HoldsAnError) {
  Result<std::string> result(Error::invalid_record("unterminated header", 9));
  ASSERT_FALSE(result.ok());
  EXPECT_FALSE(static_cast<bool>(result));
  EXPECT_EQ(result.error().display(), "invalid WARC record: unterminated header");
  EXPECT_EQ(result.error().offset(), 9u);
  const Error moved = std::move(result).error();
  EXPECT_EQ(moved.detail(), "unterminated header");
}

TEST(ResultWrapper, ValueOfAnErrorThrowsRatherThanReadingGarbage) {
  const Result<int> result(Error::no_manifest());
  EXPECT_THROW((void)result.value(), std::bad_variant_access);
  const Result<int> value(5);
  EXPECT_THROW((void)value.error(), std::bad_variant_access);
}

TEST(ResultWrapper, StatusCarriesOkOrError) {
  const Status good(Ok{});
  EXPECT_TRUE(good.ok());
  const Status bad(Error::no_manifest());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ErrorKind::NoManifest);
}

}  // namespace
}  // namespace quillmark
