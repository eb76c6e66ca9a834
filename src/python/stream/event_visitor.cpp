#include "python/stream/event_visitor.hpp"

#include <string>
#include <utility>

#include "record/text.hpp"

namespace quillmark::python {
namespace {

PyObject* new_size(std::size_t value) {
  return PyLong_FromSize_t(value);
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_bytes(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// Fills a new tuple item by item, each a new reference that the tuple takes.
// A null item, or a tuple that cannot be made, throws with the exception set;
// items not yet set are null, which the tuple's destructor skips.
class Tuple {
 public:
  explicit Tuple(Py_ssize_t size) : tuple_(PyTuple_New(size)) {
    if (!tuple_) throw PythonError{};
  }
  Tuple& operator<<(PyObject* new_item) {
    if (new_item == nullptr) throw PythonError{};
    PyTuple_SetItem(tuple_.get(), next_++, new_item);  // steals
    return *this;
  }
  OwnedRef done() { return std::move(tuple_); }

 private:
  OwnedRef tuple_;
  Py_ssize_t next_ = 0;
};

// The headers dict as read_records makes it: names lower-cased in the order
// they first appear, each with its last value.
PyObject* headers_dict(const std::vector<FieldView>& fields) {
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  std::string lower;
  for (const FieldView& field : fields) {
    lower = to_ascii_lower(field.name);
    OwnedRef name(new_text(lower));
    OwnedRef value(new_text(field.value));
    if (!name || !value || PyDict_SetItem(dict.get(), name.get(), value.get()) != 0) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace

void EventVisitor::append(OwnedRef event) {
  if (PyList_Append(events_.get(), event.get()) != 0) throw PythonError{};
}

void EventVisitor::field(std::string_view name, std::string_view raw_value) {
  watch_(name, raw_value);
  if (options_.headers) fields_.push_back(FieldView{name, trim_white_space(raw_value)});
}

void EventVisitor::header(std::size_t offset, std::string_view block, std::size_t body_size) {
  const bool manifest = watch_.is_manifest();
  wants_body_ =
      options_.bodies == BodyChoice::All || (options_.bodies == BodyChoice::Manifests && manifest);
  Tuple event(7);
  event << PyLong_FromLong(kHeaderEvent) << new_size(offset) << new_size(block.size())
        << new_size(body_size) << PyBool_FromLong(manifest)
        << (options_.header_bytes ? new_bytes(block) : none())
        << (options_.headers ? headers_dict(fields_) : none());
  watch_ = ManifestWatch();
  fields_.clear();
  append(event.done());
}

void EventVisitor::body(std::string_view piece) {
  if (!wants_body_ || piece.empty()) return;
  const auto start = static_cast<std::size_t>(piece.data() - fed_.data());
  Tuple event(3);
  event << PyLong_FromLong(kBodyEvent) << new_size(start) << new_size(start + piece.size());
  append(event.done());
}

void EventVisitor::end(std::size_t offset, std::size_t length, std::string_view separator) {
  wants_body_ = false;
  Tuple event(4);
  event << PyLong_FromLong(kEndEvent) << new_size(offset) << new_size(length)
        << new_bytes(separator);
  append(event.done());
}

void EventVisitor::error(const Error& error) {
  const std::string text = error.display();
  Tuple event(3);
  event << PyLong_FromLong(kErrorEvent)
        << PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")
        << new_size(error.offset());
  append(event.done());
}

}  // namespace quillmark::python
