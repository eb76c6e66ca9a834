#include "python/files/output_object.hpp"

#include <new>
#include <string>
#include <string_view>

#include "python/files/gil_release.hpp"

namespace quillmark::python {
namespace {

// Writes of at least this much let go of the interpreter lock.
constexpr std::size_t kReleaseFrom = std::size_t{64} << 10;

PyObject* output_type = nullptr;  // made once, with the module

OutputObject& output_of(PyObject* self) {
  return *reinterpret_cast<OutputObject*>(self);
}

// Refuses a call while another thread's call, or an append, uses the output.
bool available(OutputObject& output) {
  if (!output.busy && !output.claimed) return true;
  PyErr_SetString(PyExc_RuntimeError, output.claimed ? "an append is writing to this Output"
                                                     : "this Output is in use by another thread");
  return false;
}

// Runs `call` on the output, without the interpreter lock where `release`.
template <class Call>
PyObject* run(PyObject* self, bool release, Call call) {
  OutputObject& output = output_of(self);
  if (!available(output)) return nullptr;
  Status status = Ok{};
  output.busy = true;
  try {
    if (release) {
      const GilRelease unlocked;
      status = call(*output.file);
    } else {
      status = call(*output.file);
    }
  } catch (const std::bad_alloc&) {
    output.busy = false;
    return PyErr_NoMemory();
  }
  output.busy = false;
  if (!status) return raise_os_error(status.error());
  Py_RETURN_NONE;
}

PyObject* output_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"fd", "start", nullptr};
  int fd = -1;
  unsigned long long start = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|$K:Output", const_cast<char**>(keywords), &fd,
                                   &start)) {
    return nullptr;
  }
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, "fd must be a file descriptor");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef self(alloc(type, 0));
  if (!self) return nullptr;
  OutputObject& output = output_of(self.get());
  output.file = nullptr;
  output.busy = output.claimed = false;
  try {
    output.file = new OutputFile(fd, static_cast<std::size_t>(start));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void output_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete output_of(self).file;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// write(data): bytes are written as they are; anything else with the buffer
// protocol (a bytearray, a memoryview) is copied first, since the limited
// API of 3.9 cannot hold its buffer still while the lock is let go.
PyObject* output_write(PyObject* self, PyObject* data) {
  OwnedRef bytes =
      PyBytes_Check(data) ? OwnedRef::borrow(data) : OwnedRef(PyBytes_FromObject(data));
  if (!bytes) return nullptr;
  char* base = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &base, &size) != 0) return nullptr;
  const std::string_view view(base, static_cast<std::size_t>(size));
  return run(self, view.size() >= kReleaseFrom,
             [view](OutputFile& file) { return file.write(view); });
}

PyObject* output_copy(PyObject* self, PyObject* args) {
  int in_fd = -1;
  unsigned long long offset = 0, size = 0;
  if (!PyArg_ParseTuple(args, "iKK:copy", &in_fd, &offset, &size)) return nullptr;
  return run(self, true, [&](OutputFile& file) {
    return file.copy(in_fd, static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
  });
}

PyObject* output_flush(PyObject* self, PyObject*) {
  return run(self, true, [](OutputFile& file) { return file.flush(); });
}

PyObject* output_position(PyObject* self, void*) {
  return PyLong_FromSize_t(output_of(self).file->position());
}

PyMethodDef output_methods[] = {
    {"write", output_write, METH_O,
     "write(data)\n--\n\nWrites data (gathered, and written once enough has gathered)."},
    {"copy", output_copy, METH_VARARGS,
     "copy(in_fd, offset, size)\n--\n\n"
     "Writes size bytes at file position offset of the regular file in_fd, copied by the "
     "kernel where it can; OSError(EIO) when that file ends first."},
    {"flush", output_flush, METH_NOARGS, "flush()\n--\n\nWrites what is gathered."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* output_fd(PyObject* self, void*) {
  return PyLong_FromLong(output_of(self).file->fd());
}

PyGetSetDef output_getset[] = {
    {"position", output_position, nullptr, "Bytes written so far, those gathered included.",
     nullptr},
    {"fd", output_fd, nullptr, "The file descriptor written to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot output_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(output_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(output_dealloc)},
    {Py_tp_methods, output_methods},
    {Py_tp_getset, output_getset},
    {Py_tp_doc, const_cast<char*>("Output(fd, *, start=0)\n--\n\n"
                                  "An archive written at the file offset of fd, which stays "
                                  "the caller's to open, sync and close; positions count "
                                  "from start.")},
    {0, nullptr},
};

PyType_Spec output_spec = {
    "quillmark_files._native.Output", sizeof(OutputObject), 0, Py_TPFLAGS_DEFAULT, output_slots,
};

}  // namespace

bool add_output_type(PyObject* module) {
  if (output_type == nullptr) {
    output_type = PyType_FromSpec(&output_spec);
    if (output_type == nullptr) return false;
  }
  return PyObject_SetAttrString(module, "Output", output_type) == 0;
}

OutputObject* as_output(PyObject* object) {
  if (output_type == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(output_type))) {
    return nullptr;
  }
  return reinterpret_cast<OutputObject*>(object);
}

PyObject* raise_os_error(const Error& error) {
  const int code = error.io_error().value();
  const std::string message = error.detail().empty() ? error.io_error().message() : error.detail();
  OwnedRef args(Py_BuildValue("(is)", code, message.c_str()));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

}  // namespace quillmark::python
