// quillmark_files._framer: the stream framer of the core, for the Python
// layer that reads files. A private module: its one type, Framer, is fed the
// bytes of an archive in pieces and returns what it found in each as event
// tuples (see event_visitor.hpp). It frames exactly as the quillmark module
// reads, since both run the same core steps.
//
// Ownership: as in the quillmark module (owned_ref.hpp), every reference is
// held by an OwnedRef or a BorrowedRef, except the one each instance of a
// heap type holds on its type, which the interpreter takes in tp_alloc and
// framer_dealloc gives back.
#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "python/new_bytes.hpp"
#include "python/owned_ref.hpp"
#include "python/stream/event_visitor.hpp"
#include "record/builder.hpp"
#include "record/stream_framer.hpp"
#include "writer/appender.hpp"

namespace quillmark::python {
namespace {

struct FramerObject {
  PyObject_HEAD StreamFramer* framer;  // owned; null after a failure that left it unusable
  EventVisitor* visitor;               // owned
};

FramerObject* as_framer(PyObject* self) {
  return reinterpret_cast<FramerObject*>(self);
}

bool usable(FramerObject* self) {
  if (self->framer != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "this framer failed earlier and cannot be used again");
  return false;
}

// Runs one framer call, returning the events it produced. A failure to make
// a Python object (or to allocate) leaves the framer half-way through a
// piece, so it is retired.
template <class Call>
PyObject* run(FramerObject* self, std::string_view fed, Call&& call) {
  if (!usable(self)) return nullptr;
  OwnedRef events(PyList_New(0));
  if (!events) return nullptr;
  try {
    self->visitor->begin(BorrowedRef(events.get()), fed);
    const Status status = call(*self->framer, *self->visitor);
    if (!status) self->visitor->error(status.error());
    return events.release();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quillmark_files: unexpected internal error");
  }
  delete self->framer;
  self->framer = nullptr;
  return nullptr;
}

PyObject* framer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"start", "headers", "header_bytes", "bodies", nullptr};
  unsigned long long start = 0;
  int headers = 0, header_bytes = 0, bodies = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|K$ppi:Framer", const_cast<char**>(keywords),
                                   &start, &headers, &header_bytes, &bodies)) {
    return nullptr;
  }
  if (bodies < 0 || bodies > 2) {
    PyErr_SetString(PyExc_ValueError, "bodies must be 0 (none), 1 (manifests) or 2 (all)");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef self(alloc(type, 0));
  if (!self) return nullptr;
  FramerObject* framer = as_framer(self.get());
  framer->framer = nullptr;
  framer->visitor = nullptr;
  try {
    framer->framer = new StreamFramer(static_cast<std::size_t>(start));
    framer->visitor = new EventVisitor(
        EventOptions{headers != 0, header_bytes != 0, static_cast<BodyChoice>(bodies)});
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();  // the half-made object is released with its parts
  }
  return self.release();
}

void framer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_framer(self)->framer;
  delete as_framer(self)->visitor;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyObject* framer_feed(PyObject* self, PyObject* args) {
  PyObject* data = nullptr;
  Py_ssize_t start = 0;
  Py_ssize_t stop = PY_SSIZE_T_MAX;
  if (!PyArg_ParseTuple(args, "O!|nn:feed", &PyBytes_Type, &data, &start, &stop)) return nullptr;
  const Py_ssize_t size = PyBytes_Size(data);
  if (stop > size) stop = size;
  if (start < 0 || start > stop) {
    PyErr_SetString(PyExc_IndexError, "feed: start must lie between 0 and stop");
    return nullptr;
  }
  const char* base = PyBytes_AsString(data);
  if (base == nullptr) return nullptr;
  // Body events count from the start of `data`, not of the window fed.
  const std::string_view whole(base, static_cast<std::size_t>(size));
  const std::string_view window =
      whole.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start));
  return run(as_framer(self), whole, [&](StreamFramer& framer, EventVisitor& visitor) {
    return framer.feed(window, visitor);
  });
}

PyObject* framer_finish(PyObject* self, PyObject*) {
  return run(as_framer(self), {},
             [](StreamFramer& framer, EventVisitor& visitor) { return framer.finish(visitor); });
}

PyObject* framer_skip(PyObject* self, PyObject* arg) {
  FramerObject* framer = as_framer(self);
  if (!usable(framer)) return nullptr;
  const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  if (n > framer->framer->body_remaining()) {
    PyErr_SetString(PyExc_ValueError, "skip: more bytes than the body has left");
    return nullptr;
  }
  framer->framer->skip_body(static_cast<std::size_t>(n));
  Py_RETURN_NONE;
}

PyObject* framer_position(PyObject* self, void*) {
  FramerObject* framer = as_framer(self);
  if (!usable(framer)) return nullptr;
  return PyLong_FromSize_t(framer->framer->position());
}

PyObject* framer_body_remaining(PyObject* self, void*) {
  FramerObject* framer = as_framer(self);
  if (!usable(framer)) return nullptr;
  return PyLong_FromSize_t(framer->framer->body_remaining());
}

PyObject* framer_open_record(PyObject* self, void*) {
  FramerObject* framer = as_framer(self);
  if (!usable(framer)) return nullptr;
  const std::optional<std::size_t> open = framer->framer->open_record();
  if (!open) Py_RETURN_NONE;
  return PyLong_FromSize_t(*open);
}

PyMethodDef framer_methods[] = {
    {"feed", framer_feed, METH_VARARGS,
     "feed(data, start=0, stop=len(data))\n--\n\n"
     "Frame data[start:stop], the next bytes of the archive; returns the events found."},
    {"finish", framer_finish, METH_NOARGS,
     "finish()\n--\n\nThe end of the archive: returns the events of what was still open."},
    {"skip", framer_skip, METH_O, "skip(n)\n--\n\nPass over n body bytes without feeding them."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef framer_getset[] = {
    {"position", framer_position, nullptr, "Archive position of the next byte to feed.", nullptr},
    {"body_remaining", framer_body_remaining, nullptr,
     "Body bytes the open record still expects (0 outside a body).", nullptr},
    {"open_record", framer_open_record, nullptr,
     "Offset of the record begun but not complete, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot framer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(framer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(framer_dealloc)},
    {Py_tp_methods, framer_methods},
    {Py_tp_getset, framer_getset},
    {Py_tp_doc,
     const_cast<char*>("Framer(start=0, *, headers=False, header_bytes=False, bodies=0)\n--\n\n"
                       "Frames an archive fed in pieces, as quillmark reads it whole.")},
    {0, nullptr},
};

PyType_Spec framer_spec = {
    "quillmark_files._framer.Framer", sizeof(FramerObject), 0, Py_TPFLAGS_DEFAULT, framer_slots,
};

// The record that the appender puts at the end of an archive, dated now.
PyObject* manifest_record(PyObject*, PyObject* args) {
  const char* manifest = nullptr;
  const char* record_id = nullptr;
  Py_ssize_t manifest_size = 0, record_id_size = 0;
  if (!PyArg_ParseTuple(args, "y#s#:manifest_record", &manifest, &manifest_size, &record_id,
                        &record_id_size)) {
    return nullptr;
  }
  try {
    const PreparedRecord record(manifest_record_fields(
        std::string_view(manifest, static_cast<std::size_t>(manifest_size)),
        std::string_view(record_id, static_cast<std::size_t>(record_id_size))));
    return prepared_to_bytes(record).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef module_functions[] = {
    {"manifest_record", manifest_record, METH_VARARGS,
     "manifest_record(manifest, record_id)\n--\n\n"
     "The manifest record that append_manifest puts last, dated now."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_framer",
    "The stream framer of quillmark's core.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_int(PyObject* module, const char* name, long value) {
  OwnedRef number(PyLong_FromLong(value));
  return number && PyObject_SetAttrString(module, name, number.get()) == 0;
}

PyObject* create_module() {
  OwnedRef module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  OwnedRef type(PyType_FromSpec(&framer_spec));
  if (!type || PyObject_SetAttrString(module.get(), "Framer", type.get()) != 0) return nullptr;
  const std::string empty = empty_archive_error().display();
  OwnedRef empty_text(
      PyUnicode_FromStringAndSize(empty.data(), static_cast<Py_ssize_t>(empty.size())));
  if (!empty_text ||
      PyObject_SetAttrString(module.get(), "EMPTY_ARCHIVE_MESSAGE", empty_text.get()) != 0) {
    return nullptr;
  }
  if (!add_int(module.get(), "HEADER", kHeaderEvent) ||
      !add_int(module.get(), "BODY", kBodyEvent) || !add_int(module.get(), "END", kEndEvent) ||
      !add_int(module.get(), "ERROR", kErrorEvent)) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quillmark::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__framer(void) {
  try {
    return quillmark::python::create_module();
  } catch (...) {
    return PyErr_NoMemory();  // only allocation can throw here
  }
}
