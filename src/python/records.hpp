// What a fit leaves behind: the data that was fitted and the estimates.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "python/ref.hpp"

namespace quorbis::python {

struct ModelRecord {
  Ref exog;                              // 2-D float64 array, k columns, at least nobs rows
  Ref endog;                             // 1-D float64 array of length nobs
  std::vector<std::string> exog_names;   // k names in column order

  ModelRecord copy() const { return {exog.share(), endog.share(), exog_names}; }
  // Drops the fields in declared order.
  void clear() noexcept {
    exog.reset();
    endog.reset();
    exog_names = {};
  }
};

struct ResultsRecord {
  Ref params;      // 1-D float64 array of length k
  Ref cov_params;  // k x k float64 array
  ModelRecord model;
  double loglike = 0.0;
  std::uint64_t iterations = 0;
  bool converged = false;

  void clear() noexcept {
    params.reset();
    cov_params.reset();
    model.clear();
  }
};

}  // namespace quorbis::python
