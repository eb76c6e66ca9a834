// The two ways the binding layer holds a PyObject*, each a type of its own.
//
// Ownership rule: every reference kept anywhere in this layer (a local, a
// member, an element of a container) is either
//  - an OwnedRef: a *strong* reference (or null), released exactly once, when
//    the OwnedRef is destroyed or reset. Construct it from a new reference
//    (the result of a Py*_New / Py*_From* call, which may be null on failure);
//    call release() to hand the reference on (return it to the interpreter, or
//    give it to a function that steals). A borrowed reference becomes owned
//    only through borrow(), which takes a strong reference first.
//  - a BorrowedRef: a reference that something else keeps alive for at least
//    as long (the caller's arguments, an entry of a cache that outlives it).
//    It never changes a reference count and is never released.
// So a failure anywhere, a C++ exception included, releases what is owned and
// nothing else.
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

class BorrowedRef {
 public:
  BorrowedRef() noexcept = default;
  explicit BorrowedRef(PyObject* borrowed) noexcept : object_(borrowed) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  friend bool operator==(BorrowedRef a, BorrowedRef b) noexcept { return a.object_ == b.object_; }

 private:
  PyObject* object_ = nullptr;
};

// The exception being raised, if any, set aside for the life of the object and
// then raised again as it was, whatever happened in between.
// PyErr_Fetch and PyErr_Restore are deprecated from 3.12 on, but they are the
// only way to set an exception aside in the 3.9 limited API.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
class SetAsideError {
 public:
  SetAsideError() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_.reset(type);
    value_.reset(value);
    traceback_.reset(traceback);
  }
  SetAsideError(const SetAsideError&) = delete;
  SetAsideError& operator=(const SetAsideError&) = delete;
  // Anything raised meanwhile gives way to the exception set aside.
  ~SetAsideError() {
    PyErr_Clear();
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());  // steals all three
  }

 private:
  OwnedRef type_, value_, traceback_;
};
#pragma GCC diagnostic pop

}  // namespace quillmark::python
