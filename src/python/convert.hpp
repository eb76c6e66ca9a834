// Conversion of one bound argument to what the core reads.
#pragma once

#include "python/binding.hpp"

namespace quillmark::python {

// Converts `object` for `parameter` into `out`. On failure returns false with
// an exception set: for an object of the wrong type, a TypeError whose
// message begins "argument '{parameter}': " and which has no cause; any other
// exception (that of a str that cannot be encoded) as it was raised.
bool convert_argument(PyObject* object, const Parameter& parameter, Argument& out);

}  // namespace quillmark::python
