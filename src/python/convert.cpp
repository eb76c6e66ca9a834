#include "python/convert.hpp"

#include <cstring>

namespace quillmark::python {
namespace {

const char* target_name(ParamKind kind) noexcept {
  return kind == ParamKind::Bytes ? "PyBytes" : "PyString";
}

void raise_wrong_type(PyObject* object, ParamKind kind) {
  OwnedRef qualname(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'",
                 target_name(kind));
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
               target_name(kind));
}

// A TypeError (exactly that type) raised while converting becomes
// "argument '{parameter}': {message}", keeping the original's __cause__ but
// not chaining the original itself. Other exceptions pass unchanged.
// PyErr_Fetch and friends are deprecated from 3.12 on, but they are the only
// way to take an exception apart in the 3.9 limited API.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void name_the_parameter(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef old_type(type), old_value(value), old_traceback(traceback);

  OwnedRef message(PyObject_Str(old_value.get()));
  if (!message) return;
  OwnedRef text(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
  if (!text) return;
  OwnedRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}
#pragma GCC diagnostic pop

bool convert_bytes(PyObject* object, Argument& out) {
  if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    raise_wrong_type(object, ParamKind::Bytes);
    return false;
  }
  const char* data = PyBytes_AsString(object);
  const Py_ssize_t size = PyBytes_Size(object);
  if (data == nullptr || size < 0) return false;
  out.bytes = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_str(PyObject* object, ParamKind kind, Argument& out) {
  if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    raise_wrong_type(object, kind);
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
  bool ok = false;
  switch (parameter.kind) {
    case ParamKind::Bytes:
      ok = convert_bytes(object, out);
      break;
    case ParamKind::OptionalStr:
      if (object == Py_None) return true;  // absent, like not passed
      ok = convert_str(object, parameter.kind, out);
      break;
    case ParamKind::Str:
      ok = convert_str(object, parameter.kind, out);
      break;
  }
  if (!ok) name_the_parameter(parameter.name);
  return ok;
}

}  // namespace quillmark::python
