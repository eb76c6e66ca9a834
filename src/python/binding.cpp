#include "python/binding.hpp"

#include <cstdarg>

#include "python/convert.hpp"

namespace quillmark::python {

void raise_formatted(PyObject* type, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const OwnedRef message(PyUnicode_FromFormatV(format, arguments));
  va_end(arguments);
  if (message) PyErr_SetObject(type, message.get());
}

namespace {

bool has_optional(const Signature& s) noexcept {
  return s.required < s.params.size();
}

void raise_too_many(const Signature& s, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (has_optional(s)) {
    raise_formatted(PyExc_TypeError,
                    "%s() takes from %zu to %zu positional arguments but %zd %s given", s.function,
                    s.required, s.params.size(), given, verb);
  } else {
    raise_formatted(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                    s.function, s.params.size(), given, verb);
  }
}

void raise_stray_keyword(const Signature& s, PyObject* key) {
  // %S formats str() of the key, whatever its type.
  raise_formatted(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.function, key);
}

void raise_missing(const Signature& s, const std::array<BorrowedRef, kMaxParams>& slots) {
  std::array<const char*, kMaxParams> names{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.required; ++i) {
    if (!slots[i]) names[count++] = s.params[i].name;
  }
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  raise_formatted(PyExc_TypeError, "%s() missing %zu required positional %s: %s", s.function, count,
                  count == 1 ? "argument" : "arguments", list.c_str());
}

// Index of the parameter that `key` names, or -1 for a key that is not a str,
// cannot be encoded, or names no parameter.
Py_ssize_t parameter_index(const Signature& s, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < s.params.size(); ++i) {
    // Parameter names are ASCII, so comparing code points equals comparing
    // UTF-8 bytes; a key holding a lone surrogate matches nothing.
    if (PyUnicode_CompareWithASCIIString(key, s.params[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind(const Signature& s, PyObject* args, PyObject* kwargs,
          std::array<BorrowedRef, kMaxParams>& slots) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > s.params.size()) {
    raise_too_many(s, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = BorrowedRef(PyTuple_GetItem(args, i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const Py_ssize_t index = parameter_index(s, key);
      if (index < 0) {
        raise_stray_keyword(s, key);
        return false;
      }
      if (slots[index]) {
        raise_formatted(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.function,
                        s.params[index].name);
        return false;
      }
      slots[index] = BorrowedRef(value);
    }
  }

  if (static_cast<std::size_t>(given) < s.required) {
    for (std::size_t i = 0; i < s.required; ++i) {
      if (!slots[i]) {
        raise_missing(s, slots);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Arguments& out) {
  std::array<BorrowedRef, kMaxParams> slots{};  // the caller holds the arguments
  if (!bind(signature, args, kwargs, slots)) return false;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (!slots[i]) continue;  // an optional parameter keeps its default
    if (!convert_argument(slots[i].get(), signature.params[i], out[i])) return false;
  }
  return true;
}

}  // namespace quillmark::python
