#include "core/simd/cpu.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::simd {

const NormalBlocks& normal_blocks() noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (use_avx2()) return avx2::normal_blocks();
#endif
  return portable::normal_blocks();
}

const RowKernels& row_kernels() noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (use_avx2()) return avx2::row_kernels();
#endif
  return portable::row_kernels();
}

}  // namespace quorbis::core::simd
