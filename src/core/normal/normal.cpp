#include "core/normal/normal.hpp"

#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/lanes.hpp"
#include "core/normal/kernels/tails.hpp"

namespace quorbis::core::normal {

using kernels::ScalarLanes;

double erfc(double x) noexcept { return kernels::erfc<ScalarLanes>(x); }
double log_cdf(double z) noexcept { return kernels::log_cdf<ScalarLanes>(z); }
double pdf_over_cdf(double z) noexcept { return kernels::pdf_over_cdf<ScalarLanes>(z); }

}  // namespace quorbis::core::normal
