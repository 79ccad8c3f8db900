// The AVX2 lane policy of the normal kernels (see normal/kernels/lanes.hpp) and its block loops. Include
// it only from files compiled for AVX2 and FMA: everything here has internal linkage, so that no AVX2
// code can stand in for a function that the portable path uses.
#pragma once

#if !defined(__AVX2__)
#error "this file must be compiled for AVX2 and FMA"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/simd/flatten.hpp"

namespace quorbis::core::simd::avx2 {
namespace {

// A lane value spans kRegisters registers of four doubles: the kernels are long chains of dependent
// operations, and working on independent registers side by side keeps the floating-point units busy.
constexpr int kRegisters = 4;
constexpr std::size_t kWidth = 4 * kRegisters;

struct Vec {
  __m256d v[kRegisters];
  Vec(double c) {
    for (int i = 0; i < kRegisters; ++i) v[i] = _mm256_set1_pd(c);
  }
  Vec() = default;
};

struct Mask {
  __m256d m[kRegisters];
};

struct Bits {
  __m256i v[kRegisters];
  Bits(std::uint64_t c) {
    for (int i = 0; i < kRegisters; ++i) v[i] = _mm256_set1_epi64x(static_cast<long long>(c));
  }
  Bits() = default;
};

Vec operator+(Vec a, Vec b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_add_pd(a.v[i], b.v[i]);
  return a;
}
Vec operator-(Vec a, Vec b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_sub_pd(a.v[i], b.v[i]);
  return a;
}
Vec operator*(Vec a, Vec b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_mul_pd(a.v[i], b.v[i]);
  return a;
}
Vec operator/(Vec a, Vec b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_div_pd(a.v[i], b.v[i]);
  return a;
}
Vec operator-(Vec a) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_xor_pd(a.v[i], _mm256_set1_pd(-0.0));
  return a;
}

// Ordered comparisons: false when either operand is NaN, as for doubles.
template <int kPredicate>
Mask compare(Vec a, Vec b) {
  Mask r;
  for (int i = 0; i < kRegisters; ++i) r.m[i] = _mm256_cmp_pd(a.v[i], b.v[i], kPredicate);
  return r;
}
Mask operator<(Vec a, Vec b) { return compare<_CMP_LT_OQ>(a, b); }
Mask operator>(Vec a, Vec b) { return compare<_CMP_GT_OQ>(a, b); }
Mask operator<=(Vec a, Vec b) { return compare<_CMP_LE_OQ>(a, b); }
Mask operator>=(Vec a, Vec b) { return compare<_CMP_GE_OQ>(a, b); }
Mask operator==(Vec a, Vec b) { return compare<_CMP_EQ_OQ>(a, b); }

Bits operator+(Bits a, Bits b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_add_epi64(a.v[i], b.v[i]);
  return a;
}
Bits operator-(Bits a, Bits b) {
  for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_sub_epi64(a.v[i], b.v[i]);
  return a;
}

struct Avx2Lanes {
  using F = Vec;
  using U = Bits;
  using M = Mask;
  static F select(M m, F a, F b) {
    for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_blendv_pd(b.v[i], a.v[i], m.m[i]);
    return a;
  }
  // The sign bits of all registers' lanes, one bit per lane.
  static int lane_bits(M m) {
    int r = 0;
    for (int i = 0; i < kRegisters; ++i) r |= _mm256_movemask_pd(m.m[i]) << (4 * i);
    return r;
  }
  static bool all(M m) { return lane_bits(m) == (1 << kWidth) - 1; }
  static bool any(M m) { return lane_bits(m) != 0; }
  static U bits(F x) {
    U u;
    for (int i = 0; i < kRegisters; ++i) u.v[i] = _mm256_castpd_si256(x.v[i]);
    return u;
  }
  static F from_bits(U u) {
    F x;
    for (int i = 0; i < kRegisters; ++i) x.v[i] = _mm256_castsi256_pd(u.v[i]);
    return x;
  }
  static F abs(F x) {
    for (int i = 0; i < kRegisters; ++i) x.v[i] = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v[i]);
    return x;
  }
  static U shl52(U u) {
    for (int i = 0; i < kRegisters; ++i) u.v[i] = _mm256_slli_epi64(u.v[i], 52);
    return u;
  }
  static U shr52(U u) {
    for (int i = 0; i < kRegisters; ++i) u.v[i] = _mm256_srli_epi64(u.v[i], 52);
    return u;
  }
  static U shr1(U u) {
    for (int i = 0; i < kRegisters; ++i) u.v[i] = _mm256_srli_epi64(u.v[i], 1);
    return u;
  }
  // a * b - p in one rounding, which is no rounding at all where the kernels use it (the error of a
  // product is representable): the same value as the portable path's Dekker product.
  static F product_error(F a, F b, F p) {
    for (int i = 0; i < kRegisters; ++i) a.v[i] = _mm256_fmsub_pd(a.v[i], b.v[i], p.v[i]);
    return a;
  }
};

Vec load(const double* x) {
  Vec r;
  for (int i = 0; i < kRegisters; ++i) r.v[i] = _mm256_loadu_pd(x + 4 * i);
  return r;
}

void store(double* out, Vec r) {
  for (int i = 0; i < kRegisters; ++i) _mm256_storeu_pd(out + 4 * i, r.v[i]);
}

// Whole lane values straight from the array; the last n % kWidth values through a zero-padded one.
template <class Fn>
QUORBIS_FLATTEN void block(const double* x, double* out, std::size_t n, Fn fn) {
  std::size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) store(out + i, fn(load(x + i)));
  if (i < n) {
    double tail[kWidth] = {};
    for (std::size_t j = 0; i + j < n; ++j) tail[j] = x[i + j];
    store(tail, fn(load(tail)));
    for (std::size_t j = 0; i + j < n; ++j) out[i + j] = tail[j];
  }
}

// The same for a kernel with two results per value.
template <class Fn>
QUORBIS_FLATTEN void block_two(const double* x, double* out_a, double* out_b, std::size_t n, Fn fn) {
  std::size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    const auto both = fn(load(x + i));
    store(out_a + i, both.log_cdf);
    store(out_b + i, both.ratio);
  }
  if (i < n) {
    double tail[kWidth] = {};
    for (std::size_t j = 0; i + j < n; ++j) tail[j] = x[i + j];
    const auto both = fn(load(tail));
    double a[kWidth], b[kWidth];
    store(a, both.log_cdf);
    store(b, both.ratio);
    for (std::size_t j = 0; i + j < n; ++j) {
      out_a[i + j] = a[j];
      out_b[i + j] = b[j];
    }
  }
}

}  // namespace
}  // namespace quorbis::core::simd::avx2
