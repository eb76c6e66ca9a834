// quillmark_files._native: the core's pass over archive files (Scan, Output)
// and its other pieces the Python layer for files needs: the CRC-32 of the
// fastest library built, the inflaters built, which SHA-256 kernel runs, and
// the readers of a package's JSON texts (package_text.hpp). A private module.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "digest/sha256.hpp"
#include "python/files/gil_release.hpp"
#include "python/files/output_object.hpp"
#include "python/files/package_text.hpp"
#include "python/files/results.hpp"
#include "python/files/scan_object.hpp"
#include "python/owned_ref.hpp"
#include "record/file/crc32.hpp"
#include "record/file/gzip_inflater.hpp"
#include "writer/appender.hpp"

namespace quillmark::python {
namespace {

OwnedRef new_text(std::string_view text) {
  return OwnedRef(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* inflaters(PyObject*, PyObject*) {
  const std::vector<gzip::Inflater> built = gzip::built_inflaters();
  OwnedRef names(PyTuple_New(static_cast<Py_ssize_t>(built.size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < built.size(); ++i) {
    OwnedRef name = new_text(gzip::inflater_name(built[i]));
    if (!name || PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name.release()) != 0) {
      return nullptr;
    }
  }
  return names.release();
}

// crc32(data, value=0, size=-1): as zlib.crc32 of data[:size] (bytes or a
// bytearray: the limited API of 3.9 has no buffer protocol), by the fastest
// library of the build, with the interpreter lock released for large data.
PyObject* crc32(PyObject*, PyObject* args) {
  PyObject* data = nullptr;
  unsigned int value = 0;
  Py_ssize_t size = -1;
  if (!PyArg_ParseTuple(args, "O|In:crc32", &data, &value, &size)) return nullptr;
  const char* base = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_Check(data)) {
    base = PyBytes_AsString(data);
    length = PyBytes_Size(data);
  } else if (PyByteArray_Check(data)) {
    base = PyByteArray_AsString(data);
    length = PyByteArray_Size(data);
  } else {
    PyErr_SetString(PyExc_TypeError, "crc32() takes bytes or a bytearray");
    return nullptr;
  }
  if (base == nullptr) return nullptr;
  if (size >= 0 && size < length) length = size;
  const std::string_view bytes(base, static_cast<std::size_t>(length));
  std::uint32_t crc;
  // The object stays alive (the caller holds it) and a bytearray cannot be
  // resized by this thread meanwhile; the lock is let go only for long runs.
  if (bytes.size() >= (std::size_t{64} << 10)) {
    const GilRelease release;
    crc = gzip::crc32(value, bytes);
  } else {
    crc = gzip::crc32(value, bytes);
  }
  return PyLong_FromUnsignedLong(crc);
}

// "sha-extensions" where this processor's SHA instructions hash, else "portable".
PyObject* sha256_kernel(PyObject*, PyObject*) {
  return new_text(digest::sha256_best_kernel() == digest::Sha256Kernel::ShaExtensions
                      ? "sha-extensions"
                      : "portable")
      .release();
}

PyMethodDef module_functions[] = {
    {"crc32", crc32, METH_VARARGS,
     "crc32(data, value=0, size=-1)\n--\n\n"
     "The CRC-32 of data[:size] following on from value, as zlib.crc32."},
    {"inflaters", inflaters, METH_NOARGS,
     "inflaters()\n--\n\nThe inflaters of this build, fastest first."},
    {"sha256_kernel", sha256_kernel, METH_NOARGS,
     "sha256_kernel()\n--\n\n"
     "How the pass's SHA-256 runs here: \"sha-extensions\" or \"portable\"."},
    {"read_datapackage", read_datapackage, METH_VARARGS,
     "read_datapackage(text, paths)\n--\n\n"
     "The DataPackageText of datapackage.json for the paths asked for; PackageTextError for "
     "a text that is not sound."},
    {"read_package_digest", read_package_digest, METH_VARARGS,
     "read_package_digest(text)\n--\n\n"
     "The PackageDigestText of datapackage-digest.json; PackageTextError for a text that is "
     "not sound."},
    {"edit_text", edit_text, METH_VARARGS,
     "edit_text(text, edits)\n--\n\n"
     "text with each ((begin, end), replacement) made, every other byte kept; spans in "
     "order, apart from each other."},
    {"json_string_token", json_string_token, METH_VARARGS,
     "json_string_token(value)\n--\n\nvalue as a JSON string, UTF-8, quotes included."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The core's pass over archive files, its digests, and the texts of a package.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  OwnedRef module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  if (!add_scan_type(module.get()) || !add_result_types(module.get()) ||
      !add_output_type(module.get()) || !add_package_text_types(module.get())) {
    return nullptr;
  }
  OwnedRef empty = new_text(empty_archive_error().display());
  if (!empty || PyObject_SetAttrString(module.get(), "EMPTY_ARCHIVE_MESSAGE", empty.get()) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quillmark::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) {
  try {
    return quillmark::python::create_module();
  } catch (...) {
    return PyErr_NoMemory();  // only allocation can throw here
  }
}
