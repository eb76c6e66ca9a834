// The stream framer's visitor for Python: each framing event becomes a tuple
// appended to the list that one feed() or finish() call returns.
//
//   (HEADER, offset, header_length, body_size, is_manifest, header_bytes, headers)
//   (BODY, start, stop)                 a body piece, as indices into the fed bytes
//   (END, offset, length, separator)
//   (ERROR, message, record_offset)     the last event of a failed archive
//
// header_bytes (the block, version mark to terminator) and headers (a dict
// like read_records' "headers") are None unless asked for. BODY events come
// only for the bodies asked for: none, those of manifest records, or all.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "python/owned_ref.hpp"
#include "record/manifest.hpp"
#include "record/record_index.hpp"

namespace quillmark::python {

enum EventKind : long { kHeaderEvent = 0, kBodyEvent = 1, kEndEvent = 2, kErrorEvent = 3 };
enum class BodyChoice : int { None = 0, Manifests = 1, All = 2 };

struct EventOptions {
  bool headers = false;
  bool header_bytes = false;
  BodyChoice bodies = BodyChoice::None;
};

// Thrown out of the framer when a Python object cannot be made; the
// exception is already set. The framer is not used again after it.
struct PythonError {};

// Lives as long as its framer: a body asked for may span several pieces.
class EventVisitor {
 public:
  explicit EventVisitor(const EventOptions& options) noexcept : options_(options) {}

  // Starts one feed() or finish() call. The caller holds `events` for the
  // call. `fed` is the piece, which body pieces point into.
  void begin(BorrowedRef events, std::string_view fed) noexcept {
    events_ = events;
    fed_ = fed;
  }

  void field(std::string_view name, std::string_view raw_value);
  void header(std::size_t offset, std::string_view block, std::size_t body_size);
  void body(std::string_view piece);
  void end(std::size_t offset, std::size_t length, std::string_view separator);
  void error(const Error& error);

 private:
  void append(OwnedRef event);

  EventOptions options_;
  BorrowedRef events_;
  std::string_view fed_;
  ManifestWatch watch_;
  std::vector<FieldView> fields_;  // name as in the block, value trimmed
  bool wants_body_ = false;
};

}  // namespace quillmark::python
