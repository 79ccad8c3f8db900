// Reading a fitted probit model through its Python attributes: params, cov_params(), model.exog_names
// and model.exog, in that order.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "ame/effects.hpp"
#include "lib/ref.hpp"

namespace quorbis::ame {

// The arrays are float64 ndarrays of 1, 2 and 2 dimensions, held for as long as views into them live.
struct ModelInputs {
  lib::Ref params;
  lib::Ref cov;
  std::vector<std::string> names;
  lib::Ref exog;
};

// The first failure ends the reading; later attributes are not looked up.
ModelInputs read_inputs(PyObject* probit_model);

// Strided views of the arrays (no copy), or ValueError naming both shapes unless params has length k,
// cov is k x k and there are k names, k being the column count of exog. Call it after the last call
// into Python code that could change the arrays.
ProbitFit views_of(const ModelInputs& inputs);

}  // namespace quorbis::ame
