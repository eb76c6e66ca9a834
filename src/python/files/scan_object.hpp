// quillmark_files._native.Scan: one pass of the core over an archive file
// (scan_object.cpp tells what it runs and hands back).
#pragma once

#include "python/owned_ref.hpp"

namespace quillmark::python {

// Makes the type and adds it to `module`; false with an exception set.
bool add_scan_type(PyObject* module);

}  // namespace quillmark::python
