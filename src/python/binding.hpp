// Argument binding and conversion shared by every function of the module.
//
// Each function is described by one row of a table (name, parameters, number
// of required parameters); bind_arguments() applies the same rules and the same
// messages to all of them, so adding a function means adding a row.
#pragma once

#include "python/owned_ref.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmark::python {

enum class ParamKind {
  Bytes,        // bytes or a subclass, read in place
  Str,          // str or a subclass, copied as UTF-8
  OptionalStr,  // like Str; absent when not passed or None
};

struct Parameter {
  const char* name;
  ParamKind kind;
};

struct Signature {
  const char* function;  // the Python name, without "()"
  std::span<const Parameter> params;
  std::size_t required;
};

inline constexpr std::size_t kMaxParams = 5;

// One converted argument: a view of a bytes object's contents (valid for the
// call, since the caller holds the object), or the call's own UTF-8 copy.
struct Argument {
  std::string_view bytes;
  std::optional<std::string> text;
};

class Arguments {
 public:
  std::string_view bytes(std::size_t i) const noexcept { return values_[i].bytes; }
  std::string_view text(std::size_t i) const noexcept { return *values_[i].text; }
  std::optional<std::string_view> optional_text(std::size_t i) const noexcept {
    if (!values_[i].text) return std::nullopt;
    return std::string_view(*values_[i].text);
  }
  Argument& operator[](std::size_t i) noexcept { return values_[i]; }

 private:
  std::array<Argument, kMaxParams> values_{};
};

// Raises `type` with the message that PyUnicode_FromFormat makes of `format`.
// Where the message cannot be made, MemoryError stands (PyErr_Format raises
// `type` with no message then, on CPython 3.9 and 3.10).
void raise_formatted(PyObject* type, const char* format, ...);

// Binds positional and keyword arguments to the signature's parameters and
// converts them in parameter order. Returns false with a Python exception set
// on the first failure; no argument is converted when binding fails.
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Arguments& out);

}  // namespace quillmark::python
