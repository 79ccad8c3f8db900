// The sums of a pass over blocks of rows as the Dask driver exchanges them: vectors and matrices as
// float64 arrays, and what a pass computes (Wants) as a dict of flags named after Wants' members.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/probit/clusters.hpp"
#include "core/probit/matrix.hpp"
#include "core/probit/probit.hpp"
#include "python/ref.hpp"

namespace quorbis::python::blocks {

// Any non-null clusters pointer asks a pass for the cluster sums; the grouping itself is each block's own.
inline const core::probit::Clusters kClustersWanted{};

// New arrays with the values; k x k matrices are symmetric, so their order is free. New references.
Ref out_vector(const core::probit::Vector& v);
Ref out_matrix(const core::probit::Matrix& m);

// A 1-D float64 array of `size` entries, or a 2-D one of k x k, copied; ValueError names `what` otherwise.
core::probit::Vector in_vector(PyObject* obj, std::size_t size, const char* what);
core::probit::Matrix in_matrix(PyObject* obj, std::size_t k, const char* what);

// {"loglike", "gradient", "hessian", "gram", "score_outer_sum", "clusters"} to bools, and back; an absent
// key is false, "clusters" stands for the cluster sums. New reference.
Ref wants_dict(const core::probit::Wants& wants);
core::probit::Wants wants_of(PyObject* dict);

void set_item(PyObject* dict, const char* name, Ref value);

}  // namespace quorbis::python::blocks
