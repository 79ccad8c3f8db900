// ame: in, compute, out. The fitted model is read and checked with the interpreter lock held, the
// effects are computed in one call into the core without it, and the DataFrame is built from them.
#pragma once

#include <Python.h>

namespace quorbis::python::ame {

// The module function (METH_FASTCALL | METH_KEYWORDS). Returns a new reference to the DataFrame, or
// null with an exception set.
PyObject* ame(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::ame
