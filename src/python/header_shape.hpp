// Headers dicts made by copying a template when records repeat their layout.
//
// Most archives write the same header names in the same order record after
// record. Building each headers dict by inserting its names one by one grows
// and rehashes it several times; copying a ready dict with the same keys in
// the same order copies its table in one go, and each value then replaces a
// placeholder in place. The result is the same dict: same keys, same order,
// the last value of a repeated name.
//
// A template is made only once a layout repeats in two records running, so
// archives whose layouts alternate pay nothing but the comparison.
#pragma once

#include <vector>

#include "python/owned_ref.hpp"

namespace quillmark::python {

class HeaderShape {
 public:
  // For the header names of one record, in line order (repeats included):
  // sets `dict` to a new dict holding those names with None values when the
  // previous record had the very same names, else to nullptr so that the
  // caller builds the dict itself. `all_shared` says that every name object
  // lives for the whole call (see NameCache), which makes comparing their
  // addresses sound. Returns false with an exception set on failure.
  bool copy_for(const std::vector<PyObject*>& names, bool all_shared, PyObject*& dict) {
    dict = nullptr;
    if (!all_shared || names != last_) {
      template_.reset();
      last_.clear();
      if (all_shared) last_ = names;
      return true;
    }
    if (!template_ && !make_template(names)) return false;
    dict = PyDict_Copy(template_.get());
    return dict != nullptr;
  }

 private:
  bool make_template(const std::vector<PyObject*>& names) {
    OwnedRef made(PyDict_New());
    if (!made) return false;
    for (PyObject* name : names) {
      if (PyDict_SetItem(made.get(), name, Py_None) != 0) return false;
    }
    template_ = std::move(made);
    return true;
  }

  std::vector<PyObject*> last_;  // borrowed: kept alive by the name cache
  OwnedRef template_;
};

}  // namespace quillmark::python
