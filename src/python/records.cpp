#include "python/records.hpp"

#include <optional>
#include <string>
#include <vector>

#include "python/collector_pause.hpp"
#include "python/header_shape.hpp"
#include "python/name_cache.hpp"

namespace quillmark::python {
namespace {

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Sets `key` in `dict` to a new reference, consuming it.
bool set_new(PyObject* dict, PyObject* key, PyObject* new_value) {
  OwnedRef value(new_value);
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// Header names in the order they first appear; a later duplicate replaces the
// value in place, which is what the dict does on its own.
struct HeaderBuilder {
  NameCache names;
  HeaderShape shape;
  std::vector<PyObject*> keys;  // new references while a record is made

  PyObject* to_dict(const RecordIndex& index, const RecordView& record) {
    PyObject* dict = build(index, record);
    for (PyObject* key : keys) Py_DECREF(key);
    keys.clear();
    return dict;
  }

 private:
  PyObject* build(const RecordIndex& index, const RecordView& record) {
    const FieldView* fields = index.fields.data() + record.first_field;
    bool all_shared = true;
    for (std::size_t i = 0; i < record.field_count; ++i) {
      bool shared;
      PyObject* key = names.get(fields[i].name, shared);
      if (key == nullptr) return nullptr;
      keys.push_back(key);
      all_shared = all_shared && shared;
    }
    PyObject* copied;
    if (!shape.copy_for(keys, all_shared, copied)) return nullptr;
    OwnedRef headers(copied != nullptr ? copied : PyDict_New());
    if (!headers) return nullptr;
    for (std::size_t i = 0; i < record.field_count; ++i) {
      if (!set_new(headers.get(), keys[i], new_str(fields[i].value))) return nullptr;
    }
    return headers.release();
  }
};

// From this many records on, the collector is paused while they are made.
constexpr std::size_t kPauseCollectorFrom = 1000;

struct RecordKeys {
  OwnedRef headers{PyUnicode_InternFromString("headers")};
  OwnedRef body{PyUnicode_InternFromString("body")};
  OwnedRef offset{PyUnicode_InternFromString("offset")};
  OwnedRef length{PyUnicode_InternFromString("length")};
  bool ok() const { return headers && body && offset && length; }
};

}  // namespace

PyObject* records_to_list(const RecordIndex& index) {
  RecordKeys keys;
  if (!keys.ok()) return nullptr;
  // Start empty and append: a list made at full size holds unset items until
  // it is filled, and the cyclic collector, and through it Python code (gc
  // callbacks, finalisers), can reach the list while the records are made.
  OwnedRef list(PyList_New(0));
  if (!list) return nullptr;
  std::optional<CollectorPause> pause;
  if (index.records.size() >= kPauseCollectorFrom) pause.emplace();
  HeaderBuilder headers;
  for (const RecordView& record : index.records) {
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (!set_new(dict.get(), keys.headers.get(), headers.to_dict(index, record)) ||
        !set_new(dict.get(), keys.body.get(),
                 PyBytes_FromStringAndSize(record.body.data(),
                                           static_cast<Py_ssize_t>(record.body.size()))) ||
        !set_new(dict.get(), keys.offset.get(), PyLong_FromUnsignedLongLong(record.offset)) ||
        !set_new(dict.get(), keys.length.get(), PyLong_FromUnsignedLongLong(record.length))) {
      return nullptr;
    }
    if (PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace quillmark::python
