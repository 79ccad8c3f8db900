// The average marginal effects over blocks of rows held outside this process: each block's dummy flags
// and sums, and the table from the sums over all blocks. Module functions; each returns a new reference,
// or null with an exception set.
#pragma once

#include <Python.h>

namespace quorbis::python::blocks {

// _dummy_columns(exog) -> list of bool: whether each column of the block holds only 0 and 1 (METH_O).
PyObject* dummy_columns(PyObject* module, PyObject* exog) noexcept;

// _effect_sums(exog, params, names, dummies, chunk_size) -> (effects, jacobian): the block's sums, its
// rows in chunks of chunk_size (None: one chunk), before division by the number of rows.
PyObject* effect_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// _effects_table(effects, jacobian, nobs, cov, names) -> the DataFrame of ame from the sums over nobs rows.
PyObject* effects_table(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::blocks
