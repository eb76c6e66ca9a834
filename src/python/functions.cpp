#include "python/functions.hpp"

#include <new>

#include "python/map_err.hpp"
#include "python/new_bytes.hpp"
#include "python/records.hpp"
#include "record/builder.hpp"
#include "record/manifest.hpp"
#include "record/record_index.hpp"
#include "writer/appender.hpp"

namespace quillmark::python {
namespace {

constexpr Parameter kWarc{"warc", ParamKind::Bytes};

constexpr Parameter kAppendParams[] = {
    kWarc, {"manifest", ParamKind::Bytes}, {"record_id", ParamKind::Str}};
constexpr Parameter kWarcOnly[] = {kWarc};
constexpr Parameter kBuildParams[] = {{"warc_type", ParamKind::Str},
                                      {"content_type", ParamKind::Str},
                                      {"record_id", ParamKind::Str},
                                      {"body", ParamKind::Bytes},
                                      {"target_uri", ParamKind::OptionalStr}};

constexpr Signature kAppendManifest{"append_manifest", kAppendParams, 3};
constexpr Signature kReadManifest{"read_manifest", kWarcOnly, 1};
constexpr Signature kReadRecords{"read_records", kWarcOnly, 1};
constexpr Signature kBuildRecord{"build_record", kBuildParams, 4};

// Runs a wrapper body; no C++ exception may reach the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quillmark: unexpected internal error");
    return nullptr;
  }
}

PyObject* append_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kAppendManifest, args, kwargs, a)) return nullptr;
    Result<PreparedAppend> prepared = prepare_append(a.bytes(0), a.bytes(1), a.text(2));
    if (!prepared) return map_err(std::move(prepared).error());
    return prepared_to_bytes(prepared.value()).release();
  });
}

PyObject* read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kReadManifest, args, kwargs, a)) return nullptr;
    Result<std::string_view> manifest = locate_manifest(a.bytes(0));
    if (!manifest) {
      if (manifest.error().kind() == ErrorKind::NoManifest) Py_RETURN_NONE;
      return map_err(std::move(manifest).error());
    }
    return copy_to_bytes(manifest.value()).release();
  });
}

PyObject* read_records(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kReadRecords, args, kwargs, a)) return nullptr;
    Result<RecordIndex> index = index_records(a.bytes(0));
    if (!index) return map_err(std::move(index).error());
    return records_to_list(index.value()).release();
  });
}

PyObject* build_record(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kBuildRecord, args, kwargs, a)) return nullptr;
    // The builder takes target_uri before body; the Python function the other way round.
    const PreparedRecord record({a.text(0), a.text(1), a.text(2), a.optional_text(4), a.bytes(3)});
    return prepared_to_bytes(record).release();
  });
}

}  // namespace

PyMethodDef module_functions[] = {
    {"append_manifest",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(append_manifest)),
     METH_VARARGS | METH_KEYWORDS,
     "append_manifest(warc, manifest, record_id)\n--\n\n"
     "Append a C2PA Manifest Store to a WARC archive as a new record."},
    {"read_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_manifest)),
     METH_VARARGS | METH_KEYWORDS,
     "read_manifest(warc)\n--\n\n"
     "Read the embedded C2PA Manifest Store, or `None` when the archive carries\n"
     "no provenance."},
    {"read_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_records)),
     METH_VARARGS | METH_KEYWORDS,
     "read_records(warc)\n--\n\n"
     "Every record in the archive, as a list of dicts with `headers`, `body`,\n"
     "`offset`, and `length`."},
    {"build_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_record)),
     METH_VARARGS | METH_KEYWORDS,
     "build_record(warc_type, content_type, record_id, body, target_uri=None)\n--\n\n"
     "Build a single WARC record."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quillmark::python
