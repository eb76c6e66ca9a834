// The module's four functions and their table: names, parameters, docstrings.
#pragma once

#include "python/binding.hpp"

namespace quillmark::python {

// Method definitions in registration order, ending with a zeroed sentinel.
// Each docstring holds the text signature ("name(params)\n--\n\n") first.
extern PyMethodDef module_functions[];

}  // namespace quillmark::python
