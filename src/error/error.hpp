// The core's one error type and its result wrapper.
//
// Core operations never throw on bad input: they return a Result<T> that holds
// either the value or an Error. Only allocation failure (std::bad_alloc) can
// escape, and the Python boundary turns that into MemoryError.
#pragma once

#include <cstddef>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace quillmark {

// Gzip: the compressed data of an archive file is damaged; only the file pass
// (record/file) reports it, with the member's position in the file as offset.
// PackageText: the text of a package's JSON file (datapackage.json or its
// digest) is unsound; the message names what and, where it can, the byte.
enum class ErrorKind { NoManifest, InvalidRecord, Io, Gzip, PackageText };

class Error {
 public:
  static Error no_manifest() { return Error(ErrorKind::NoManifest, {}, {}, 0); }
  // `offset` is where the failing record starts; it is kept for diagnostics and
  // is not part of the display text (texts that name an offset carry it).
  static Error invalid_record(std::string detail, std::size_t offset = 0) {
    return Error(ErrorKind::InvalidRecord, std::move(detail), {}, offset);
  }
  static Error io(std::error_code code) { return Error(ErrorKind::Io, {}, code, 0); }
  // An I/O failure the system's text would not explain, such as a file that
  // ends before a position it must reach: `detail` replaces that text.
  static Error io(std::error_code code, std::string detail) {
    return Error(ErrorKind::Io, std::move(detail), code, 0);
  }
  // `message` is the whole display text; `offset` is where the member (or the
  // stray data) begins in the compressed file.
  static Error gzip(std::string message, std::size_t offset) {
    return Error(ErrorKind::Gzip, std::move(message), {}, offset);
  }
  // `message` is the whole display text; `offset` is the byte of the text it
  // concerns (0 where it concerns the text as a whole).
  static Error package_text(std::string message, std::size_t offset) {
    return Error(ErrorKind::PackageText, std::move(message), {}, offset);
  }

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& detail() const noexcept { return detail_; }
  std::error_code io_error() const noexcept { return io_; }
  std::size_t offset() const noexcept { return offset_; }

  // "no C2PA manifest record found", "invalid WARC record: {detail}",
  // "I/O error: {error or detail}", or a gzip or package text error's message.
  std::string display() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(ErrorKind kind, std::string detail, std::error_code io, std::size_t offset)
      : kind_(kind), detail_(std::move(detail)), io_(io), offset_(offset) {}

  ErrorKind kind_;
  std::string detail_;
  std::error_code io_;
  std::size_t offset_;
};

// Either a T or an Error; a minimal stand-in for std::expected (C++23).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Error& error() & { return std::get<1>(state_); }
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Result for operations that produce nothing but may fail.
struct Ok {};
using Status = Result<Ok>;

}  // namespace quillmark
