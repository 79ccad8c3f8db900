// The block forms of the normal functions that only the tests run over arrays (erfc, exp, log and
// clipped_cdf), one set per instruction set over the lanes of the core's SIMD layer, so that the tests
// compare every kernel's paths bit for bit.
#pragma once

#include "core/simd/normal_blocks.hpp"

namespace quorbis::tests::kernels {

struct ExtraBlocks {
  core::simd::NormalBlock erfc, exp, log, clipped_cdf;
};

namespace portable {
const ExtraBlocks& extra_blocks() noexcept;
}  // namespace portable

namespace avx2 {
// Defined only in builds with the AVX2 path; use only when core::simd::avx2_supported().
const ExtraBlocks& extra_blocks() noexcept;
}  // namespace avx2

}  // namespace quorbis::tests::kernels
