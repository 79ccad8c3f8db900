// _block_sums(endog, exog, beta, wants, cluster_vars=None, weights=None, frequency=False): the sums of one
// block of rows at beta, the rows weighted by weights when given (frequency or probability weights), for
// a driver that passes over the rows in blocks held outside this process.
#pragma once

#include <Python.h>

namespace quorbis::python::blocks {

// A dict of the block's sums: "loglike", "gradient", "hessian", "gram", "score_outer_sum" as wanted, and
// for "clusters" the block's cluster "labels" with their score sums as the rows of "cluster_sums" and
// their values (rows of cluster_vars) as the rows of "cells". The module function (METH_FASTCALL |
// METH_KEYWORDS); returns a new reference, or null with an exception set.
PyObject* block_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::blocks
