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
    {"old_manifest",
     "The body of the last manifest record removed (the old store), where asked for, or None."},
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

PyStructSequence_Field input_fields[] = {
    {"size", "Bytes of the input."},
    {"crc32", "Their CRC-32, where asked for, or None."},
    {"sha256", "Their SHA-256 (32 bytes), where asked for, or None."},
    {"covered",
     "The CoveredBytes before the last manifest record, where asked for and there is one, or "
     "None."},
    {nullptr, nullptr},
};
PyStructSequence_Field output_fields[] = {
    {"size", "Bytes written, or None while the append waits for its manifest."},
    {"crc32", "Their CRC-32, or None while it waits."},
    {"sha256", "Their SHA-256 (32 bytes), or None while it waits."},
    {"covered", "The CoveredBytes before the new manifest record."},
    {nullptr, nullptr},
};
PyStructSequence_Field covered_fields[] = {
    {"end",
     "Where they end: the place of the manifest record, or of the gzip member holding its first "
     "byte, from the start of the archive file."},
    {"sha256", "Their SHA-256 (32 bytes)."},
    {"last_record", "Whether no record begins after the manifest record."},
    {"nothing_after",
     "Whether no byte follows it: no CR or LF, no gzip member (not even an empty one), no "
     "padding."},
    {"own_member", "For gzip: whether the record starts a member; None for a plain file."},
    {nullptr, nullptr},
};

PyStructSequence_Desc summary_desc = {"quillmark_files._native.ScanSummary", "What a check found.",
                                      summary_fields, 5};
PyStructSequence_Desc counts_desc = {"quillmark_files._native.AppendCounts",
                                     "What an append wrote.", counts_fields, 10};
PyStructSequence_Desc failure_desc = {"quillmark_files._native.ScanFailure", "Why a pass failed.",
                                      failure_fields, 5};
PyStructSequence_Desc input_desc = {"quillmark_files._native.InputDigests",
                                    "The digests of what a pass read.", input_fields, 4};
PyStructSequence_Desc output_desc = {"quillmark_files._native.OutputDigests",
                                     "The digests of what an append wrote.", output_fields, 4};
PyStructSequence_Desc covered_desc = {
    "quillmark_files._native.CoveredBytes",
    "The bytes of an archive file before its (last) manifest record, which a signature in that "
    "record covers.",
    covered_fields, 5};

// Made once, with the module; alive as long as the process.
PyObject* summary_type = nullptr;
PyObject* counts_type = nullptr;
PyObject* failure_type = nullptr;
PyObject* input_type = nullptr;
PyObject* output_type = nullptr;
PyObject* covered_type = nullptr;

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

OwnedRef bytes_of(std::string_view value) {
  return OwnedRef(PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

OwnedRef sha256_of(const digest::Sha256Digest& digest) {
  return bytes_of(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
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
      {&summary_desc, &summary_type}, {&counts_desc, &counts_type}, {&failure_desc, &failure_type},
      {&input_desc, &input_type},     {&output_desc, &output_type}, {&covered_desc, &covered_type}};
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
  OwnedRef old = counts.old_manifest ? bytes_of(*counts.old_manifest) : OwnedRef::borrow(Py_None);
  return make(counts_type, {&kept, &removed, &copied, &recompressed, &offset, &member, &length,
                            &written, &moved, &old});
}

namespace {

OwnedRef make_covered(const CoveredBytes& covered) {
  OwnedRef end(PyLong_FromSize_t(covered.end));
  OwnedRef sha = sha256_of(covered.sha256);
  OwnedRef last = flag(covered.last_record);
  OwnedRef nothing_after = flag(covered.nothing_after);
  OwnedRef own = covered.own_member ? flag(*covered.own_member) : OwnedRef::borrow(Py_None);
  return make(covered_type, {&end, &sha, &last, &nothing_after, &own});
}

}  // namespace

OwnedRef make_input_digests(const InputDigests& digests) {
  OwnedRef size(PyLong_FromSize_t(digests.size));
  OwnedRef crc =
      digests.crc32 ? OwnedRef(PyLong_FromUnsignedLong(*digests.crc32)) : OwnedRef::borrow(Py_None);
  OwnedRef sha = digests.sha256 ? sha256_of(*digests.sha256) : OwnedRef::borrow(Py_None);
  OwnedRef covered = digests.covered ? make_covered(*digests.covered) : OwnedRef::borrow(Py_None);
  return make(input_type, {&size, &crc, &sha, &covered});
}

OwnedRef make_output_digests(const OutputDigests& digests, bool compressed) {
  const std::optional<digest::RangeDigests>& whole = digests.whole;
  OwnedRef size =
      whole ? OwnedRef(PyLong_FromUnsignedLongLong(whole->size)) : OwnedRef::borrow(Py_None);
  OwnedRef crc =
      whole ? OwnedRef(PyLong_FromUnsignedLong(whole->crc32)) : OwnedRef::borrow(Py_None);
  OwnedRef sha = whole ? sha256_of(whole->sha256) : OwnedRef::borrow(Py_None);
  // The new record is written last, alone, in a member of its own for gzip.
  CoveredBytes covered;
  covered.end = digests.covered_size;
  covered.sha256 = digests.covered_sha256;
  covered.last_record = covered.nothing_after = true;
  if (compressed) covered.own_member = true;
  OwnedRef before = make_covered(covered);
  return make(output_type, {&size, &crc, &sha, &before});
}

OwnedRef make_failure(const Error& error, bool output_failed) {
  OwnedRef none = OwnedRef::borrow(Py_None);
  OwnedRef no_errno = OwnedRef::borrow(Py_None);
  OwnedRef no_side = OwnedRef::borrow(Py_None);
  if (error.kind() == ErrorKind::Io) {
    OwnedRef kind = text("io");
    OwnedRef message = text(error.detail().empty() ? error.io_error().message() : error.detail());
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
