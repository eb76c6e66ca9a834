// Module initialisation (single-phase): one module object per process, owned
// by the first interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "python/functions.hpp"

namespace quillmark::python {
namespace {

// The package's version, passed by the build from pyproject.toml.
#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif
constexpr const char* kVersion = QUILLMARK_VERSION;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quillmark",
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that owns the module: -1 until the first initialisation.
std::atomic<std::int64_t> owning_interpreter{-1};
// The module made by the first successful initialisation, never released: the
// OwnedRef itself is never destroyed, since static destructors may run after
// the interpreter has gone.
OwnedRef& the_module() {
  static OwnedRef* const kept = new OwnedRef();
  return *kept;
}

// Appends `name` to the module's __all__ (made on first use), then sets it.
bool add_public(PyObject* module, PyObject* name, PyObject* value) {
  OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  if (PyList_Append(all.get(), name) != 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  OwnedRef function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  OwnedRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
    return false;
  }
  return add_public(module, name.get(), function.get());
}

OwnedRef create_module() {
  OwnedRef module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) return {};
  OwnedRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return {};
  for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
    if (!register_function(module.get(), module_name.get(), def)) return {};
  }
  OwnedRef version_name(PyUnicode_FromString("__version__"));
  OwnedRef version(PyUnicode_FromString(kVersion));
  if (!version_name || !version || !add_public(module.get(), version_name.get(), version.get())) {
    return {};
  }
  return module;
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quillmark does not support sub-interpreters: it is already loaded by "
                    "another interpreter of this process");
    return nullptr;
  }
  OwnedRef& module = the_module();
  if (!module) {
    module = create_module();
    if (!module) return nullptr;
  }
  return OwnedRef::borrow(module.get()).release();
}

}  // namespace
}  // namespace quillmark::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillmark(void) {
  try {
    return quillmark::python::initialise();
  } catch (...) {
    return PyErr_NoMemory();  // only allocation can throw here
  }
}
