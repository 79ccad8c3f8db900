// Exact arithmetic over a lane policy (see lanes.hpp): the rounding errors of a product (Dekker) and of a
// sum (Knuth), so that products and sums that decide the last bit can be carried as pairs hi + lo.
#pragma once



namespace quorbis::core::normal::kernels {

inline constexpr double kSplitter = 134217729.0;  // 2^27 + 1

// The rounding error of p = fl(a * b): a * b = p + error exactly, by Dekker's splitting of a and b into
// halves of 26 and 27 bits. Exact when |a|, |b| < 2^995 and a * b is at least 2^-969 in magnitude; a
// policy may compute the same exact value with a fused multiply-subtract instead.
template <class L>
typename L::F dekker_product_error(typename L::F a, typename L::F b, typename L::F p) {
  using F = typename L::F;
  const F ca = a * kSplitter;
  const F a_hi = ca - (ca - a);
  const F a_lo = a - a_hi;
  const F cb = b * kSplitter;
  const F b_hi = cb - (cb - b);
  const F b_lo = b - b_hi;
  return ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

// The rounding error of s = a + b for any a and b: a + b = s + error exactly.
template <class L>
typename L::F sum_error(typename L::F a, typename L::F b, typename L::F s) {
  const typename L::F b_part = s - a;
  return (a - (s - b_part)) + (b - b_part);
}

}  // namespace quorbis::core::normal::kernels
