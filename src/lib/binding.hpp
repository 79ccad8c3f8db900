// Binds fast-call arguments to a function's parameters with the interpreter's own messages.
#pragma once

#include <Python.h>

#include <span>

namespace quorbis::lib {

struct Signature {
  const char* function;                 // name without parentheses
  std::span<const char* const> params;  // every parameter may come by position or keyword
  std::size_t required;                 // the leading parameters that must be given
};

// Fills slots (one per parameter) with borrowed argument values, null where absent.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> slots);

// Runs convert(); a failure whose type is exactly TypeError gets the prefix "argument 'NAME': ".
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert());

void prefix_type_error(const char* name);

}  // namespace quorbis::lib

#include "lib/error.hpp"

template <class Convert>
auto quorbis::lib::convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const Error& error) {
    error.restore();
    prefix_type_error(name);
    throw_pending();
  }
}
