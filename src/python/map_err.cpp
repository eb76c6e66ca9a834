#include "python/map_err.hpp"

namespace quillmark::python {

PyObject* map_err(Error error) {
  const std::string text = error.display();
  OwnedRef message(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

}  // namespace quillmark::python
