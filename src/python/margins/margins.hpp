// The private entry points behind ProbitResult.ame, margins and predict: in, compute, out, the rows
// summed or predicted in one call into the core without the interpreter lock. Module functions
// (METH_FASTCALL | METH_KEYWORDS); each returns a new reference, or null with an exception set.
#pragma once

#include <Python.h>

namespace quorbis::python::margins {

// _margin_sums(...) -> (values, jacobian, weight): the sums of core/margins/problem.hpp, values of
// shape (q,), jacobian (q, k), weight a float. See inputs.hpp for the arguments.
PyObject* margin_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// _predict(exog, params, cov=None, z=0.0, linear=False) -> array of shape (n,), or (n, 4) with cov:
// prediction, standard error, lower and upper end of the interval.
PyObject* predict(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::margins
