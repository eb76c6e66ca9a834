// The core's readers and editor of a package's JSON texts (src/package), for
// quillmark_files: datapackage.json and datapackage-digest.json read in one
// pass, values found as spans of the text, and a text edited in place. A
// text that is not sound raises PackageTextError (a ValueError) with the
// core's message and the byte it names (`offset`).
//
//   read_datapackage(text, paths) -> DataPackageText(resource_count, resources)
//     one ListedResource(path, span, hash, hash_span, hash_error, size,
//     size_span, size_error) per path asked for, in that order: where a
//     lookup fails (the path is not listed, its hash is not a string, ...),
//     its value is None and its *_error the core's message
//   read_package_digest(text) -> PackageDigestText(path, path_span,
//     path_error, hash, hash_span, hash_error, is_signed, signature_spans)
//   edit_text(text, edits) -> bytes      edits: ((begin, end), bytes), ...
//   json_string_token(value) -> bytes    a JSON string for a str
// Spans are Span(begin, end), byte offsets of the text.
#pragma once

#include "python/owned_ref.hpp"

namespace quillmark::python {

// Makes the types and PackageTextError and adds them to `module`; false with
// an exception set.
bool add_package_text_types(PyObject* module);

PyObject* read_datapackage(PyObject* module, PyObject* args);
PyObject* read_package_digest(PyObject* module, PyObject* args);
PyObject* edit_text(PyObject* module, PyObject* args);
PyObject* json_string_token(PyObject* module, PyObject* args);

}  // namespace quillmark::python
