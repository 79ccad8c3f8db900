// The arguments of ame, read and checked with the interpreter lock held: the fitted model through its
// Python attributes params, cov_params(), model.exog_names and model.exog, in that order, and the
// intercept columns by their names.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ame/effects.hpp"
#include "python/ref.hpp"

namespace quorbis::python::ame {

// The arrays are float64 ndarrays of 1, 2 and 2 dimensions, held for as long as views into them live.
struct ModelInputs {
  Ref params;
  Ref cov;
  std::vector<std::string> names;
  Ref exog;
};

struct AmeInputs {
  ModelInputs model;            // owns the arrays that fit views
  std::vector<bool> intercept;  // per column
  core::ame::ProbitFit fit;     // strided views of the arrays, no copies
  std::optional<std::uint64_t> chunk_size;
};

// ame(probit_model, chunk_size=None): the first failure ends the reading, and later attributes are not
// looked up. The shapes must agree: params of length k, cov_params() k x k and k names, k the column
// count of exog, or ValueError names both shapes.
AmeInputs read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorbis::python::ame
