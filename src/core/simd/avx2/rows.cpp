// The AVX2 instantiation of the row kernels. The build compiles this file alone for AVX2 and FMA;
// everything here but row_kernels() has internal linkage (see core/simd/row_kernels.hpp).
#if !defined(__AVX2__)
#error "this file must be compiled for AVX2 and FMA"
#endif

#include <immintrin.h>

#include "core/simd/row_kernels.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::simd::avx2 {
namespace {

struct Vec4 {
  __m256d v;
  Vec4() = default;
  Vec4(double c) : v(_mm256_set1_pd(c)) {}
  Vec4(__m256d x) : v(x) {}
  static Vec4 load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, Vec4 a) { _mm256_storeu_pd(p, a.v); }
  friend Vec4 operator+(Vec4 a, Vec4 b) { return _mm256_add_pd(a.v, b.v); }
  friend Vec4 operator-(Vec4 a, Vec4 b) { return _mm256_sub_pd(a.v, b.v); }
  friend Vec4 operator*(Vec4 a, Vec4 b) { return _mm256_mul_pd(a.v, b.v); }
  static void transpose(Vec4& a, Vec4& b, Vec4& c, Vec4& d) {
    const __m256d ab_low = _mm256_unpacklo_pd(a.v, b.v), ab_high = _mm256_unpackhi_pd(a.v, b.v);
    const __m256d cd_low = _mm256_unpacklo_pd(c.v, d.v), cd_high = _mm256_unpackhi_pd(c.v, d.v);
    a.v = _mm256_permute2f128_pd(ab_low, cd_low, 0x20);
    b.v = _mm256_permute2f128_pd(ab_high, cd_high, 0x20);
    c.v = _mm256_permute2f128_pd(ab_low, cd_low, 0x31);
    d.v = _mm256_permute2f128_pd(ab_high, cd_high, 0x31);
  }
};

constexpr RowKernels kRowKernels = row_kernel_table<Vec4>();

}  // namespace

const RowKernels& row_kernels() noexcept { return kRowKernels; }

}  // namespace quorbis::core::simd::avx2
