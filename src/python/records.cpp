#include "python/records.hpp"

#include <optional>
#include <string>
#include <vector>

#include "python/collector_pause.hpp"
#include "python/header_shape.hpp"
#include "python/name_cache.hpp"
#include "python/new_bytes.hpp"

namespace quillmark::python {
namespace {

// Sets `key` in `dict` to a new reference, consuming it.
bool set_new(PyObject* dict, PyObject* key, PyObject* new_value) {
  OwnedRef value(new_value);
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// Header names in the order they first appear; a later duplicate replaces the
// value in place, which is what the dict does on its own.
class HeaderBuilder {
 public:
  PyObject* to_dict(const RecordIndex& index, const RecordView& record) {
    PyObject* dict = build(index, record);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (current_[i] == nullptr) Py_DECREF(keys_[i]);
    }
    keys_.clear();
    previous_.swap(current_);
    current_.clear();
    return dict;
  }

 private:
  // Most records write their names in the same order as the record before,
  // so the entry at the same position is tried before the cache's table.
  NameEntry* predicted(std::size_t position, std::string_view raw) const {
    if (position >= previous_.size()) return nullptr;
    NameEntry* entry = previous_[position];
    return entry != nullptr && entry->raw == raw ? entry : nullptr;
  }

  PyObject* build(const RecordIndex& index, const RecordView& record) {
    const FieldView* fields = index.fields.data() + record.first_field;
    bool all_shared = true;
    for (std::size_t i = 0; i < record.field_count; ++i) {
      NameEntry* entry = predicted(i, fields[i].name);
      if (entry == nullptr && !names_.lookup(fields[i].name, entry)) return nullptr;
      PyObject* key = entry != nullptr ? entry->str : names_.make(fields[i].name);
      if (key == nullptr) return nullptr;
      keys_.push_back(key);  // borrowed from the entry, else owned
      current_.push_back(entry);
      all_shared = all_shared && entry != nullptr;
    }
    PyObject* copied;
    if (!shape_.copy_for(keys_, all_shared, copied)) return nullptr;
    OwnedRef headers(copied != nullptr ? copied : PyDict_New());
    if (!headers) return nullptr;
    for (std::size_t i = 0; i < record.field_count; ++i) {
      PyObject* value = current_[i] != nullptr ? current_[i]->values.get(fields[i].value)
                                               : new_str(fields[i].value);
      if (!set_new(headers.get(), keys_[i], value)) return nullptr;
    }
    return headers.release();
  }

  NameCache names_;
  HeaderShape shape_;
  std::vector<PyObject*> keys_;
  std::vector<NameEntry*> current_;   // per field of the record being made
  std::vector<NameEntry*> previous_;  // per field of the record before
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
        !set_new(dict.get(), keys.body.get(), copy_to_bytes(record.body)) ||
        !set_new(dict.get(), keys.offset.get(), PyLong_FromUnsignedLongLong(record.offset)) ||
        !set_new(dict.get(), keys.length.get(), PyLong_FromUnsignedLongLong(record.length))) {
      return nullptr;
    }
    if (PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace quillmark::python
