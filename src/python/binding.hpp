// Binds fast-call arguments to a function's parameters with the interpreter's own messages.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "python/convert.hpp"
#include "python/error.hpp"

namespace quorbis::python {

struct Signature {
  const char* function;                 // name without parentheses
  std::span<const char* const> params;  // every parameter may come by position or keyword
  std::size_t required;                 // the leading parameters that must be given
};

// Fills slots (one per parameter) with borrowed argument values, null where absent.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> slots);

// Gives the pending exception, when its type is exactly TypeError, the prefix "argument 'NAME': ".
void prefix_type_error(const char* name);

// Runs convert(); a failure whose type is exactly TypeError gets the prefix "argument 'NAME': ".
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const Error& error) {
    error.restore();
    prefix_type_error(name);
    throw_pending();
  }
}

// An optional argument converted, or nothing when it is absent or None.
template <class T, class Convert>
std::optional<T> optional_argument(PyObject* value, const char* name, Convert convert) {
  if (!given(value)) return std::nullopt;
  return convert_argument(name, [&] { return convert(value); });
}

}  // namespace quorbis::python
