// The body of fit_probit: reads and checks the inputs, fits, and assembles the results record.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/numpy.hpp"
#include "lib/records.hpp"

namespace quorbis::probit {

struct FitArguments {
  PyObject* endog = nullptr;           // any object; its shape decides how it is read
  PyArrayObject* exog = nullptr;       // 2-D float64, already checked
  std::optional<std::uint64_t> max_iter;
  std::optional<double> tol;
  bool robust = false;
  PyObject* cluster_vars = nullptr;    // null when not given
};

lib::ResultsRecord fit_probit(const FitArguments& arguments);

}  // namespace quorbis::probit
