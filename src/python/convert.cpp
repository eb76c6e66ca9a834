#include "python/convert.hpp"

#include <cstring>

namespace quillmark::python {
namespace {

const char* target_name(ParamKind kind) noexcept {
  return kind == ParamKind::Bytes ? "PyBytes" : "PyString";
}

// The wrong-type TypeError, "argument '{parameter}': '{type}' object cannot be
// converted to '{target}'", made whole here, where the parameter is known.
void raise_wrong_type(PyObject* object, const Parameter& parameter) {
  // The interpreter's own "__qualname__": its lookups are cached by the
  // address of the name, so a fresh str would take a new cache entry each time.
  const OwnedRef attribute(PyUnicode_InternFromString("__qualname__"));
  OwnedRef qualname(
      attribute ? PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), attribute.get())
                : nullptr);
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    raise_formatted(PyExc_TypeError,
                    "argument '%s': '<failed to extract type name>' object cannot be converted to "
                    "'%s'",
                    parameter.name, target_name(parameter.kind));
    return;
  }
  raise_formatted(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
                  parameter.name, qualname.get(), target_name(parameter.kind));
}

bool convert_bytes(PyObject* object, const Parameter& parameter, Argument& out) {
  if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    raise_wrong_type(object, parameter);
    return false;
  }
  const char* data = PyBytes_AsString(object);
  const Py_ssize_t size = PyBytes_Size(object);
  if (data == nullptr || size < 0) return false;
  out.bytes = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_str(PyObject* object, const Parameter& parameter, Argument& out) {
  if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    raise_wrong_type(object, parameter);
    return false;
  }
  OwnedRef utf8(PyUnicode_AsUTF8String(object));  // strict: lone surrogates raise
  if (!utf8) return false;
  const char* data = PyBytes_AsString(utf8.get());
  const Py_ssize_t size = PyBytes_Size(utf8.get());
  if (data == nullptr || size < 0) return false;
  out.text.emplace(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

bool convert_argument(PyObject* object, const Parameter& parameter, Argument& out) {
  switch (parameter.kind) {
    case ParamKind::Bytes:
      return convert_bytes(object, parameter, out);
    case ParamKind::OptionalStr:
      if (object == Py_None) return true;  // absent, like not passed
      return convert_str(object, parameter, out);
    case ParamKind::Str:
      return convert_str(object, parameter, out);
  }
  return false;
}

}  // namespace quillmark::python
