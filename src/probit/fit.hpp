// The body of fit_probit: reads and checks the inputs, fits, and assembles the results record.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/numpy.hpp"
#include "lib/records.hpp"
#include "probit/optimizer.hpp"

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

// Copies of the rows for the passes: the outcome, and the design column-major, so that the passes run
// down contiguous columns.
lib::Buffer copy_vector(const lib::VectorView& v);
lib::Buffer copy_column_major(const lib::MatrixView& x);

// The record of a fit at optimum with covariance cov, over the model's arrays exog and endog.
lib::ResultsRecord results_record(const Optimum& optimum, const Matrix& cov, lib::Ref exog, lib::Ref endog);

}  // namespace quorbis::probit
