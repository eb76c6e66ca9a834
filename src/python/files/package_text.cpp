#include "python/files/package_text.hpp"

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "package/datapackage_text.hpp"
#include "package/digest_text.hpp"
#include "package/json_string.hpp"
#include "package/text_edit.hpp"

namespace quillmark::python {
namespace {

PyStructSequence_Field span_fields[] = {
    {"begin", "The first byte."},
    {"end", "The byte after the last."},
    {nullptr, nullptr},
};
PyStructSequence_Field datapackage_fields[] = {
    {"resource_count", "Entries of the resources list."},
    {"resources", "A ListedResource for each path asked for, in the order asked."},
    {nullptr, nullptr},
};
PyStructSequence_Field resource_fields[] = {
    {"path", "The path asked for."},
    {"span", "The resource object listing it, or None where none does."},
    {"hash", "Its hash, decoded, or None (see hash_error)."},
    {"hash_span", "The hash's value as it stands in the text, whatever it is, or None."},
    {"hash_error", "Why there is no hash, or None."},
    {"size", "Its bytes, a whole number, or None (see size_error)."},
    {"size_span", "The bytes' value as it stands in the text, whatever it is, or None."},
    {"size_error", "Why there is no size, or None."},
    {nullptr, nullptr},
};
PyStructSequence_Field digest_fields[] = {
    {"path", "The path it names, decoded, or None (see path_error)."},
    {"path_span", "The path's value in the text, or None."},
    {"path_error", "Why there is no path, or None."},
    {"hash", "The hash it gives, decoded, or None (see hash_error)."},
    {"hash_span", "The hash's value in the text, or None."},
    {"hash_error", "Why there is no hash, or None."},
    {"is_signed", "Whether it carries a signature (signedData, not null)."},
    {"signature_spans",
     "The spans whose removal takes every signedData member out and leaves valid JSON."},
    {nullptr, nullptr},
};

PyStructSequence_Desc span_desc = {"quillmark_files._native.Span", "Bytes [begin, end) of a text.",
                                   span_fields, 2};
PyStructSequence_Desc datapackage_desc = {"quillmark_files._native.DataPackageText",
                                          "datapackage.json, as read for some paths.",
                                          datapackage_fields, 2};
PyStructSequence_Desc resource_desc = {"quillmark_files._native.ListedResource",
                                       "What datapackage.json lists of one path.", resource_fields,
                                       8};
PyStructSequence_Desc digest_desc = {"quillmark_files._native.PackageDigestText",
                                     "datapackage-digest.json, as read.", digest_fields, 8};

// Made once, with the module; alive as long as the process.
PyObject* span_type = nullptr;
PyObject* datapackage_type = nullptr;
PyObject* resource_type = nullptr;
PyObject* digest_type = nullptr;
PyObject* text_error = nullptr;

OwnedRef none() {
  return OwnedRef::borrow(Py_None);
}

OwnedRef text(std::string_view value) {
  return OwnedRef(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape"));
}

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

OwnedRef span(const package::TextSpan& value) {
  OwnedRef begin(PyLong_FromSize_t(value.begin));
  OwnedRef end(PyLong_FromSize_t(value.end));
  return make(span_type, {&begin, &end});
}

OwnedRef span_of(const std::optional<package::JsonValue>& value) {
  return value ? span(value->span) : none();
}

// A lookup's value, or None; its error's message, or None.
template <class T, class Make>
std::pair<OwnedRef, OwnedRef> lookup(const Result<T>& result, Make make_value) {
  if (result) return {make_value(result.value()), none()};
  return {none(), text(result.error().display())};
}

// Raises PackageTextError for a PackageText error of the core, else OSError
// or MemoryError; returns null.
PyObject* raise_text_error(const Error& error) {
  if (error.kind() != ErrorKind::PackageText) {
    return PyErr_Format(PyExc_ValueError, "%s", error.display().c_str());
  }
  OwnedRef message = text(error.display());
  if (!message) return nullptr;
  OwnedRef raised(PyObject_CallFunctionObjArgs(text_error, message.get(), nullptr));
  OwnedRef offset(PyLong_FromSize_t(error.offset()));
  if (!raised || !offset || PyObject_SetAttrString(raised.get(), "message", message.get()) != 0 ||
      PyObject_SetAttrString(raised.get(), "offset", offset.get()) != 0) {
    return nullptr;
  }
  PyErr_SetObject(text_error, raised.get());
  return nullptr;
}

// `object` (a str) as UTF-8, or false with an exception set.
bool utf8_of(PyObject* object, std::string& out) {
  OwnedRef bytes(PyUnicode_AsUTF8String(object));  // strict: lone surrogates raise
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

OwnedRef make_resource(const package::DataPackageText& package, const std::string& path) {
  OwnedRef asked = text(path);
  const Result<const package::ListedResource*> found = package.resource(path);
  if (!found) {
    OwnedRef why = text(found.error().display());
    OwnedRef why_too = OwnedRef::borrow(why.get());
    OwnedRef no_span = none(), no_hash = none(), no_hash_span = none(), no_size = none(),
             no_size_span = none();
    return make(resource_type, {&asked, &no_span, &no_hash, &no_hash_span, &why, &no_size,
                                &no_size_span, &why_too});
  }
  const package::ListedResource& resource = *found.value();
  OwnedRef whole = span(resource.span);
  auto [hash, hash_error] =
      lookup(resource.hash_text(), [](std::string_view value) { return text(value); });
  OwnedRef hash_span = span_of(resource.hash);
  auto [size, size_error] = lookup(resource.size(), [](std::uint64_t value) {
    return OwnedRef(PyLong_FromUnsignedLongLong(value));
  });
  OwnedRef size_span = span_of(resource.bytes);
  return make(resource_type,
              {&asked, &whole, &hash, &hash_span, &hash_error, &size, &size_span, &size_error});
}

}  // namespace

bool add_package_text_types(PyObject* module) {
  const std::pair<PyStructSequence_Desc*, PyObject**> types[] = {
      {&span_desc, &span_type},
      {&datapackage_desc, &datapackage_type},
      {&resource_desc, &resource_type},
      {&digest_desc, &digest_type}};
  for (const auto& [desc, type] : types) {
    if (*type == nullptr) {
      *type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(desc));
      if (*type == nullptr) return false;
    }
    const char* name = std::strrchr(desc->name, '.') + 1;
    if (PyObject_SetAttrString(module, name, *type) != 0) return false;
  }
  if (text_error == nullptr) {
    text_error = PyErr_NewExceptionWithDoc(
        "quillmark_files._native.PackageTextError",
        "A package's JSON text is not sound: `message` says why, `offset` is the byte it names "
        "(0 where it concerns the whole text).",
        PyExc_ValueError, nullptr);
    if (text_error == nullptr) return false;
  }
  return PyObject_SetAttrString(module, "PackageTextError", text_error) == 0;
}

PyObject* read_datapackage(PyObject*, PyObject* args) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  PyObject* paths = nullptr;
  if (!PyArg_ParseTuple(args, "y#O:read_datapackage", &data, &size, &paths)) return nullptr;
  try {
    std::vector<std::string> asked;
    OwnedRef iterator(PyObject_GetIter(paths));
    if (!iterator) return nullptr;
    while (OwnedRef path{PyIter_Next(iterator.get())}) {
      if (!PyUnicode_Check(path.get())) {
        PyErr_SetString(PyExc_TypeError, "read_datapackage() takes the paths as str");
        return nullptr;
      }
      asked.emplace_back();
      if (!utf8_of(path.get(), asked.back())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    const Result<package::DataPackageText> package =
        package::read_datapackage(std::string_view(data, static_cast<std::size_t>(size)), asked);
    if (!package) return raise_text_error(package.error());
    OwnedRef resources(PyTuple_New(static_cast<Py_ssize_t>(asked.size())));
    if (!resources) return nullptr;
    for (std::size_t i = 0; i < asked.size(); ++i) {
      OwnedRef resource = make_resource(package.value(), asked[i]);
      if (!resource) return nullptr;
      PyTuple_SetItem(resources.get(), static_cast<Py_ssize_t>(i), resource.release());
    }
    OwnedRef count(PyLong_FromSize_t(package->resource_count));
    return make(datapackage_type, {&count, &resources}).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* read_package_digest(PyObject*, PyObject* args) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "y#:read_package_digest", &data, &size)) return nullptr;
  try {
    const Result<package::PackageDigestText> digest =
        package::read_package_digest(std::string_view(data, static_cast<std::size_t>(size)));
    if (!digest) return raise_text_error(digest.error());
    const auto as_text = [](std::string_view value) { return text(value); };
    auto [path, path_error] = lookup(digest->path_text(), as_text);
    OwnedRef path_span = span_of(digest->path);
    auto [hash, hash_error] = lookup(digest->hash_text(), as_text);
    OwnedRef hash_span = span_of(digest->hash);
    OwnedRef is_signed = OwnedRef::borrow(digest->is_signed ? Py_True : Py_False);
    OwnedRef spans(PyTuple_New(static_cast<Py_ssize_t>(digest->signature_spans.size())));
    if (!spans) return nullptr;
    for (std::size_t i = 0; i < digest->signature_spans.size(); ++i) {
      OwnedRef one = span(digest->signature_spans[i]);
      if (!one) return nullptr;
      PyTuple_SetItem(spans.get(), static_cast<Py_ssize_t>(i), one.release());
    }
    return make(digest_type, {&path, &path_span, &path_error, &hash, &hash_span, &hash_error,
                              &is_signed, &spans})
        .release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* edit_text(PyObject*, PyObject* args) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  PyObject* edits = nullptr;
  if (!PyArg_ParseTuple(args, "y#O:edit_text", &data, &size, &edits)) return nullptr;
  try {
    std::vector<package::TextEdit> made;
    OwnedRef iterator(PyObject_GetIter(edits));
    if (!iterator) return nullptr;
    while (OwnedRef edit{PyIter_Next(iterator.get())}) {
      unsigned long long begin = 0, end = 0;
      const char* replacement = nullptr;
      Py_ssize_t replacement_size = 0;
      OwnedRef pair(PySequence_Tuple(edit.get()));
      if (!pair || !PyArg_ParseTuple(pair.get(), "(KK)y#:edit_text", &begin, &end, &replacement,
                                     &replacement_size)) {
        return nullptr;
      }
      made.push_back(package::TextEdit{
          package::TextSpan{static_cast<std::size_t>(begin), static_cast<std::size_t>(end)},
          std::string(replacement, static_cast<std::size_t>(replacement_size))});
    }
    if (PyErr_Occurred()) return nullptr;
    const Result<std::string> edited =
        package::edit_text(std::string_view(data, static_cast<std::size_t>(size)), made);
    if (!edited) return raise_text_error(edited.error());
    return PyBytes_FromStringAndSize(edited->data(), static_cast<Py_ssize_t>(edited->size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* json_string_token(PyObject*, PyObject* args) {
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "U:json_string_token", &value)) return nullptr;
  try {
    std::string utf8;
    if (!utf8_of(value, utf8)) return nullptr;
    const std::string token = package::json_string_token(utf8);
    return PyBytes_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(token.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace quillmark::python
