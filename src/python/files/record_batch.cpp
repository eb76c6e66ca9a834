#include "python/files/record_batch.hpp"

#include <optional>

#include "python/collector_pause.hpp"
#include "python/new_bytes.hpp"

namespace quillmark::python {
namespace {

// From this many records on, the collector is paused while a batch is made.
constexpr std::size_t kPauseCollectorFrom = 1000;

OwnedRef size_or_none(const std::optional<std::size_t>& value) {
  if (!value) return OwnedRef::borrow(Py_None);
  return OwnedRef(PyLong_FromSize_t(*value));
}

// Fills a new tuple item by item; false with an exception set when an item
// (or the tuple) could not be made. Items not set stay null, which the
// tuple's destructor skips.
bool fill(PyObject* tuple, Py_ssize_t index, OwnedRef item) {
  if (!item) return false;
  return PyTuple_SetItem(tuple, index, item.release()) == 0;  // steals
}

}  // namespace

OwnedRef RecordBatch::make_record(const RecordListing& listing, const ListedRecord& record) {
  const std::string_view block = listing.block(record);
  fields_.clear();
  for (const FieldPlace& field : listing.fields(record)) {
    fields_.push_back(FieldView{block.substr(field.name_at, field.name_size),
                                block.substr(field.value_at, field.value_size)});
  }
  OwnedRef tuple(PyTuple_New(8));
  if (!tuple) return {};
  PyObject* t = tuple.get();
  if (!fill(t, 0, OwnedRef(PyLong_FromSize_t(record.offset))) ||
      !fill(t, 1, OwnedRef(PyLong_FromSize_t(record.length))) ||
      !fill(t, 2, headers_.to_dict(fields_)) ||
      !fill(t, 3, OwnedRef(PyLong_FromSize_t(record.body_size))) ||
      !fill(t, 4, OwnedRef::borrow(record.manifest ? Py_True : Py_False)) ||
      !fill(t, 5, size_or_none(record.gzip_offset)) ||
      !fill(t, 6, size_or_none(record.gzip_length)) ||
      !fill(t, 7,
            record.has_body ? copy_to_bytes(listing.body(record)) : OwnedRef::borrow(Py_None))) {
    return {};
  }
  if (!record_type_) return tuple;
  return OwnedRef(PyObject_CallFunctionObjArgs(tuple_new_.get(), record_type_.get(), t, nullptr));
}

OwnedRef RecordBatch::make_list(const RecordListing& listing) {
  const auto ready = listing.ready();
  OwnedRef list(PyList_New(0));
  if (!list) return {};
  std::optional<CollectorPause> pause;
  if (ready.size() >= kPauseCollectorFrom) pause.emplace();
  for (const ListedRecord& record : ready) {
    OwnedRef made = make_record(listing, record);
    if (!made || PyList_Append(list.get(), made.get()) != 0) return {};
  }
  return list;
}

}  // namespace quillmark::python
