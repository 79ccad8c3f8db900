#include "python/results.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "python/classes.hpp"
#include "python/error.hpp"
#include "python/numpy.hpp"
#include "python/records.hpp"

namespace quorbis::python {
namespace {

Buffer copy_values(const std::vector<double>& values) {
  Buffer out(values.size());
  std::copy(values.begin(), values.end(), out.data());
  return out;
}

std::vector<std::string> default_names(std::size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (std::size_t j = 0; j < k; ++j) names.push_back(cat({"x", std::to_string(j)}));
  return names;
}

}  // namespace

Ref results_object(const core::probit::Optimum& optimum, const core::probit::Matrix& cov, Ref exog, Ref endog) {
  const std::size_t k = optimum.params.size();
  ResultsRecord results;
  results.params = vector_out(copy_values(optimum.params));
  results.cov_params = matrix_out(copy_values(cov.values()), k, k, Order::row_major);
  results.model.exog = std::move(exog);
  results.model.endog = std::move(endog);
  results.model.exog_names = default_names(k);
  results.loglike = optimum.loglike;
  results.iterations = optimum.iterations;
  results.converged = optimum.converged;
  return make_results_object(std::move(results));
}

}  // namespace quorbis::python
