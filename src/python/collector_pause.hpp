// Pauses Python's cyclic garbage collector for the life of the object.
//
// read_records makes one tracked dict per record and holds them all in a
// tracked list. None of them can be garbage while the call runs, yet every
// few hundred new containers the collector would run, and its older
// generations walk everything made so far: with a hundred thousand records
// that is a large share of the call. Pausing it for the call and restoring
// the previous state afterwards leaves one ordinary collection for later.
// Short calls do not pause: the two calls into the gc module would cost more
// than they save.
#pragma once

#include "python/owned_ref.hpp"

namespace quillmark::python {

class CollectorPause {
 public:
  // Pauses only when the collector is enabled; any failure to look it up
  // leaves it running and the interpreter's error state untouched.
  CollectorPause() {
    const SetAsideError set_aside;
    const OwnedRef gc_name(PyUnicode_InternFromString("gc"));
    if (gc_name) gc_.reset(PyImport_Import(gc_name.get()));
    if (!gc_) return;
    const OwnedRef enabled = call("isenabled");
    if (enabled && PyObject_IsTrue(enabled.get()) == 1)
      paused_ = static_cast<bool>(call("disable"));
  }

  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

  // Runs with or without an exception set (a failed call still restores the
  // collector), and keeps that exception as it was.
  ~CollectorPause() {
    if (!paused_) return;
    const SetAsideError set_aside;
    call("enable");
  }

 private:
  // Names are the interpreter's interned strs: attribute lookups are cached by
  // the address of the name, so a fresh str would take a new cache entry.
  OwnedRef call(const char* method) {
    const OwnedRef name(PyUnicode_InternFromString(method));
    if (!name) return {};
    return OwnedRef(PyObject_CallMethodObjArgs(gc_.get(), name.get(), nullptr));
  }

  OwnedRef gc_;
  bool paused_ = false;
};

}  // namespace quillmark::python
