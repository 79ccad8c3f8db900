#include "simd/rows.hpp"

#include "simd/cpu.hpp"
#include "simd/portable.hpp"
#include "simd/row_kernels.hpp"

namespace quorbis::simd {
namespace {

constexpr RowKernels kPortable = rows::table<PortableVec4>();

}  // namespace

const RowKernels& row_kernels() noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (use_avx2()) return avx2_row_kernels();
#endif
  return kPortable;
}

}  // namespace quorbis::simd
