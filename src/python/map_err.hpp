// map_err: the one place where a core Error becomes a Python exception.
#pragma once

#include "error/error.hpp"
#include "python/owned_ref.hpp"

namespace quillmark::python {

// Raises ValueError with the error's display text; always returns nullptr so
// that wrappers can `return map_err(...)`.
PyObject* map_err(Error error);

}  // namespace quillmark::python
