// Four doubles as one GCC vector, which the compiler maps onto the SIMD registers of whatever target a
// function is compiled for (AVX2 in the cloned kernels, SSE2 pairs otherwise) with the same IEEE
// operations per lane. Aligned to 8 only, so it may be loaded from any double.
#pragma once

#include <cstddef>

namespace quorbis::probit {

using Vec = double __attribute__((vector_size(32), aligned(8)));
inline constexpr std::size_t kLanes = 4;

}  // namespace quorbis::probit
