// Conversions of call arguments to the plain values the estimation code takes.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorbis::python {

// True when an optional argument was passed and is not None.
inline bool given(PyObject* argument) noexcept { return argument != nullptr && argument != Py_None; }

// Index protocol, then unsigned 64-bit conversion: TypeError or OverflowError from the interpreter.
std::uint64_t to_u64(PyObject* obj);

// The interpreter's float conversion.
double to_double(PyObject* obj);

// Exactly True or False; nothing else is taken for a truth value.
bool to_bool(PyObject* obj);

}  // namespace quorbis::python
