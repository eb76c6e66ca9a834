// OwnedRef: the one owner of a PyObject* reference in the binding layer.
//
// Ownership rule: an OwnedRef always holds a *strong* reference (or null) and
// releases it exactly once, when it is destroyed or reset. Construct it from a
// new reference (the result of a Py*_New / Py*_From* call, which may be null
// on failure); call release() to hand the reference to the interpreter (return
// it, or give it to a function that steals). Borrowed references are never
// wrapped: use borrow() to make a strong one first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmark::python {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  explicit OwnedRef(PyObject* new_reference) noexcept : object_(new_reference) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  static OwnedRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* new_reference = nullptr) noexcept {
    Py_XDECREF(std::exchange(object_, new_reference));
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quillmark::python
