// fit_probit: in, compute, out. The arguments are read and checked with the interpreter lock held, the
// fit runs in one call into the core without it, and the results object is built from what it returns.
#pragma once

#include <Python.h>

namespace quorbis::python::fit {

// The module function (METH_FASTCALL | METH_KEYWORDS). Returns a new reference, or null with an
// exception set.
PyObject* fit_probit(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::fit
