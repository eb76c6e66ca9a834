#include "python/files/results.hpp"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "record/file/file_scan.hpp"
#include "writer/appender.hpp"

namespace quillmark::python {
namespace {

PyStructSequence_Field summary_fields[] = {
    {"compressed", "Whether the input is gzip."},
    {"one_record_per_member", "Whether every gzip member held exactly one whole record."},
    {"records", "Records read."},
    {"manifest_records", "Manifest records among them."},
    {"manifest", "The last manifest record's body, the manifest store, or None."},
    {nullptr, nullptr},
};
PyStructSequence_Field counts_fields[] = {
    {"records_kept", "Records written as they stood."},
    {"manifests_removed", "Manifest records left out."},
    {"members_copied", "Gzip members copied unchanged."},
    {"records_recompressed", "Kept records whose gzip member was made anew."},
    {"manifest_offset", "The new record's place in the uncompressed archive."},
    {"member_offset", "Its gzip member's place in the archive written, or None."},
    {"member_length", "Its gzip member's length, or None."},
    {"written", "Bytes of the archive written."},
    {"moved_from",
     "The first place before the new record where the archive written differs "
     "from the input, or None."},
    {nullptr, nullptr},
};
PyStructSequence_Field failure_fields[] = {
    {"kind", "\"malformed\", \"gzip\" or \"io\"."},
    {"message", "Why, in one line."},
    {"offset", "Where the failing record (malformed) or gzip member (gzip) starts, or None."},
    {"errno", "The error number of an io failure, or None."},
    {"side", "\"input\" or \"output\" for an io failure, or None."},
    {nullptr, nullptr},
};

PyStructSequence_Desc summary_desc = {"quillmark_files._scan.ScanSummary", "What a check found.",
                                      summary_fields, 5};
PyStructSequence_Desc counts_desc = {"quillmark_files._scan.AppendCounts", "What an append wrote.",
                                     counts_fields, 9};
PyStructSequence_Desc failure_desc = {"quillmark_files._scan.ScanFailure", "Why a pass failed.",
                                      failure_fields, 5};

// Made once, with the module; alive as long as the process.
PyObject* summary_type = nullptr;
PyObject* counts_type = nullptr;
PyObject* failure_type = nullptr;

OwnedRef size_or_none(std::optional<std::size_t> value) {
  return value ? OwnedRef(PyLong_FromSize_t(*value)) : OwnedRef::borrow(Py_None);
}

OwnedRef text(std::string_view value) {
  return OwnedRef(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

OwnedRef flag(bool value) {
  return OwnedRef::borrow(value ? Py_True : Py_False);
}

// A new instance of `type` holding `items`, or null with an exception set.
OwnedRef make(PyObject* type, std::initializer_list<OwnedRef*> items) {
  for (OwnedRef* item : items) {
    if (!*item) return {};
  }
  OwnedRef made(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type)));
  if (!made) return {};
  Py_ssize_t index = 0;
  for (OwnedRef* item : items) PyStructSequence_SetItem(made.get(), index++, item->release());
  return made;
}

}  // namespace

bool add_result_types(PyObject* module) {
  const std::pair<PyStructSequence_Desc*, PyObject**> types[] = {
      {&summary_desc, &summary_type}, {&counts_desc, &counts_type}, {&failure_desc, &failure_type}};
  for (const auto& [desc, type] : types) {
    if (*type == nullptr) {
      *type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(desc));
      if (*type == nullptr) return false;
    }
    const char* name = std::strrchr(desc->name, '.') + 1;
    if (PyObject_SetAttrString(module, name, *type) != 0) return false;
  }
  return true;
}

OwnedRef make_summary(const Pass& scan, const std::optional<std::string>& manifest) {
  OwnedRef compressed = flag(scan.compressed());
  OwnedRef one_each = flag(scan.one_record_per_member());
  OwnedRef records(PyLong_FromSize_t(scan.records()));
  OwnedRef manifests(PyLong_FromSize_t(scan.manifest_records()));
  OwnedRef store = manifest ? OwnedRef(PyBytes_FromStringAndSize(
                                  manifest->data(), static_cast<Py_ssize_t>(manifest->size())))
                            : OwnedRef::borrow(Py_None);
  return make(summary_type, {&compressed, &one_each, &records, &manifests, &store});
}

OwnedRef make_counts(const AppendCounts& counts) {
  OwnedRef kept(PyLong_FromSize_t(counts.records_kept));
  OwnedRef removed(PyLong_FromSize_t(counts.manifests_removed));
  OwnedRef copied(PyLong_FromSize_t(counts.members_copied));
  OwnedRef recompressed(PyLong_FromSize_t(counts.records_recompressed));
  OwnedRef offset(PyLong_FromSize_t(counts.manifest_offset));
  OwnedRef member = size_or_none(counts.member_offset);
  OwnedRef length = size_or_none(counts.member_length);
  OwnedRef written(PyLong_FromSize_t(counts.written));
  OwnedRef moved = size_or_none(counts.moved_from);
  return make(counts_type, {&kept, &removed, &copied, &recompressed, &offset, &member, &length,
                            &written, &moved});
}

OwnedRef make_failure(const Error& error, bool output_failed) {
  OwnedRef none = OwnedRef::borrow(Py_None);
  OwnedRef no_errno = OwnedRef::borrow(Py_None);
  OwnedRef no_side = OwnedRef::borrow(Py_None);
  if (error.kind() == ErrorKind::Io) {
    OwnedRef kind = text("io");
    OwnedRef message = text(error.io_error().message());
    OwnedRef code(PyLong_FromLong(error.io_error().value()));
    OwnedRef side = text(output_failed ? "output" : "input");
    return make(failure_type, {&kind, &message, &none, &code, &side});
  }
  OwnedRef kind = text(error.kind() == ErrorKind::Gzip ? "gzip" : "malformed");
  OwnedRef message = text(error.display());
  // The empty archive is no one record's failure.
  OwnedRef offset =
      error == empty_archive_error() ? OwnedRef::borrow(Py_None) : size_or_none(error.offset());
  return make(failure_type, {&kind, &message, &offset, &no_errno, &no_side});
}

}  // namespace quillmark::python
