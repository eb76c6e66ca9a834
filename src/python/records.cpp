#include "python/records.hpp"

#include <optional>

#include "python/collector_pause.hpp"
#include "python/header_builder.hpp"
#include "python/new_bytes.hpp"

namespace quillmark::python {
namespace {

// Sets `key` in `dict` to `value`, which may be null after a failed call.
bool set_item(PyObject* dict, PyObject* key, const OwnedRef& value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

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

OwnedRef records_to_list(const RecordIndex& index) {
  RecordKeys keys;
  if (!keys.ok()) return {};
  // Start empty and append: a list made at full size holds unset items until
  // it is filled, and the cyclic collector, and through it Python code (gc
  // callbacks, finalisers), can reach the list while the records are made.
  OwnedRef list(PyList_New(0));
  if (!list) return {};
  std::optional<CollectorPause> pause;
  if (index.records.size() >= kPauseCollectorFrom) pause.emplace();
  HeaderBuilder headers;
  for (const RecordView& record : index.records) {
    OwnedRef dict(PyDict_New());
    if (!dict) return {};
    if (!set_item(dict.get(), keys.headers.get(), headers.to_dict(index.fields_of(record))) ||
        !set_item(dict.get(), keys.body.get(), copy_to_bytes(record.body)) ||
        !set_item(dict.get(), keys.offset.get(),
                  OwnedRef(PyLong_FromUnsignedLongLong(record.offset))) ||
        !set_item(dict.get(), keys.length.get(),
                  OwnedRef(PyLong_FromUnsignedLongLong(record.length)))) {
      return {};
    }
    if (PyList_Append(list.get(), dict.get()) != 0) return {};
  }
  return list;
}

}  // namespace quillmark::python
