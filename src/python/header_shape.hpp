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

#include <algorithm>
#include <span>
#include <vector>

#include "python/owned_ref.hpp"

namespace quillmark::python {

class HeaderShape {
 public:
  // For the header names of one record, in line order (repeats included):
  // sets `dict` to a new dict holding those names with None values when the
  // previous record had the very same names, else leaves it null so that the
  // caller builds the dict itself. `all_shared` says that every name object
  // lives as long as this shape (see NameCache), which makes comparing their
  // addresses sound. Returns false with an exception set on failure.
  bool copy_for(std::span<const BorrowedRef> names, bool all_shared, OwnedRef& dict) {
    dict.reset();
    if (!all_shared || !std::equal(names.begin(), names.end(), last_.begin(), last_.end())) {
      template_.reset();
      last_.clear();
      if (all_shared) last_.assign(names.begin(), names.end());
      return true;
    }
    if (!template_ && !make_template(names)) return false;
    dict.reset(PyDict_Copy(template_.get()));
    return static_cast<bool>(dict);
  }

 private:
  bool make_template(std::span<const BorrowedRef> names) {
    OwnedRef made(PyDict_New());
    if (!made) return false;
    for (BorrowedRef name : names) {
      if (PyDict_SetItem(made.get(), name.get(), Py_None) != 0) return false;
    }
    template_ = std::move(made);
    return true;
  }

  std::vector<BorrowedRef> last_;  // kept alive by the name cache
  OwnedRef template_;
};

}  // namespace quillmark::python
