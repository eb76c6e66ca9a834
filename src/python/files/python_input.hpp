// An Input over a stream object of the caller's: anything with read(n) that
// returns bytes, such as io.BytesIO or a file system's file object. It is read
// once, in order, taking the interpreter lock back for each read.
#pragma once

#include <cstring>
#include <system_error>

#include "python/files/gil_release.hpp"
#include "python/owned_ref.hpp"
#include "record/file/input.hpp"

namespace quillmark::python {

class PythonInput final : public Input {
 public:
  explicit PythonInput(PyObject* stream) : stream_(OwnedRef::borrow(stream)) {}

  // Set while the lock is released around a scan; null while it is held.
  void set_release(GilRelease* release) noexcept { release_ = release; }

  // The exception a read raised, to be raised again once the scan returns.
  bool failed() const noexcept { return failed_; }
  void restore_error() {
    failed_ = false;
    restore(type_.release(), value_.release(), traceback_.release());  // steals all three
  }

  Result<std::size_t> read(char* out, std::size_t size) override {
    if (failed_) return failure();
    if (release_ == nullptr) return read_held(out, size);
    const GilRelease::Held held(*release_);
    return read_held(out, size);
  }

 private:
  Result<std::size_t> read_held(char* out, std::size_t size) {
    OwnedRef data(PyObject_CallMethod(stream_.get(), "read", "n", static_cast<Py_ssize_t>(size)));
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (data && data.get() == Py_None) return std::size_t{0};  // a non-blocking stream's "none yet"
    if (!data || PyBytes_AsStringAndSize(data.get(), &bytes, &length) != 0) {
      keep_error();
      return failure();
    }
    if (static_cast<std::size_t>(length) > size) {
      PyErr_SetString(PyExc_ValueError, "read() returned more bytes than asked for");
      keep_error();
      return failure();
    }
    std::memcpy(out, bytes, static_cast<std::size_t>(length));
    return static_cast<std::size_t>(length);
  }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  void keep_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_.reset(type);
    value_.reset(value);
    traceback_.reset(traceback);
    failed_ = true;
  }
  void restore(PyObject* type, PyObject* value, PyObject* traceback) {
    PyErr_Restore(type, value, traceback);
  }
#pragma GCC diagnostic pop

  // What the scan sees of a failed read; the binding raises the kept
  // exception instead.
  static Error failure() {
    return Error::io(std::make_error_code(std::errc::io_error));
  }

  OwnedRef stream_;
  GilRelease* release_ = nullptr;
  bool failed_ = false;
  OwnedRef type_, value_, traceback_;
};

}  // namespace quillmark::python
