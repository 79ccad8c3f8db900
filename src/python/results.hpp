// The results object of a fit, from the optimum and covariance that the core computed.
#pragma once

#include "core/probit/matrix.hpp"
#include "core/probit/optimizer.hpp"
#include "python/ref.hpp"

namespace quorbis::python {

// A new VaskProbitResults over the model's arrays exog and endog, its columns named x0, x1, ....
// Returns a new reference.
Ref results_object(const core::probit::Optimum& optimum, const core::probit::Matrix& cov, Ref exog, Ref endog);

}  // namespace quorbis::python
