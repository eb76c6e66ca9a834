// quillmark_files._native.Output: an archive file being written (OutputFile)
// for the Python layer: Output(fd), write(data), copy(in_fd, offset, size),
// flush(), position. An append may write through it (Scan(append_to=...)),
// its buffer and position shared; while it does, the Output is its alone.
#pragma once

#include "python/owned_ref.hpp"
#include "writer/file/output_file.hpp"

namespace quillmark::python {

struct OutputObject {
  PyObject_HEAD OutputFile* file;  // owned
  bool busy;                       // a call runs without the interpreter lock
  bool claimed;                    // an append writes through it
};

// Makes the type and adds it to `module`; false with an exception set.
bool add_output_type(PyObject* module);
// `object` as an Output, or null (no exception) when it is not one.
OutputObject* as_output(PyObject* object);
// Raises OSError for an Io error of the core (its errno, and the core's
// message where the system's reason would not tell); returns null.
PyObject* raise_os_error(const Error& error);

}  // namespace quillmark::python
