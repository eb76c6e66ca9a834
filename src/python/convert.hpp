// Conversion of one bound argument to what the core reads.
#pragma once

#include "python/binding.hpp"

namespace quillmark::python {

// Converts `object` for a parameter of `kind` into `out`. On failure returns
// false with an exception set: a TypeError is re-raised as
// "argument '{parameter}': {message}"; any other exception passes unchanged.
bool convert_argument(PyObject* object, const Parameter& parameter, Argument& out);

}  // namespace quillmark::python
