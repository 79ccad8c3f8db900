// _design_matrix: the design matrix that probit() builds from a DataFrame's columns, put together once on
// the thread pool in the layout that _fit_design reads in place, with a check of every value on the way.
#pragma once

#include <Python.h>

namespace quorbis::python::fit {

// _design_matrix(columns, rows) -> (matrix, finite): columns a sequence of 1-D float64 arrays of rows
// entries, None for a column of ones; matrix the column-major float64 ndarray of them, finite a list of
// bools, whether each column holds only finite values. Returns a new reference, or null with an exception set.
PyObject* design_matrix(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::fit
