// Polynomial evaluation over a lane policy (see lanes.hpp), in the two orders the kernels use.
#pragma once

#include <cstddef>

namespace quorbis::core::normal::kernels {

// sum_j c[First + j] x^j for j < Count by Estrin's scheme: the lower half (a power of two of terms) plus
// x^half times the upper half, so the chain of dependent operations grows with log2(Count) rather than
// Count (the kernels are largely bound by the latency of that chain). p2, p4, p8 are x^2, x^4, x^8.
template <class L, std::size_t First, std::size_t Count, std::size_t N>
typename L::F estrin(typename L::F x, typename L::F p2, typename L::F p4, typename L::F p8,
                     const double (&c)[N]) {
  using F = typename L::F;
  if constexpr (Count == 1) {
    return F(c[First]);
  } else {
    constexpr std::size_t half = Count > 8 ? 8 : Count > 4 ? 4 : Count > 2 ? 2 : 1;
    static_assert(Count <= 16);
    const F low = estrin<L, First, half>(x, p2, p4, p8, c);
    const F high = estrin<L, First + half, Count - half>(x, p2, p4, p8, c);
    if constexpr (half == 1) return low + high * x;
    else if constexpr (half == 2) return low + high * p2;
    else if constexpr (half == 4) return low + high * p4;
    else return low + high * p8;
  }
}

// sum_j c[j] x^j, given x2 = x^2.
template <class L, std::size_t N>
typename L::F polynomial(typename L::F x, typename L::F x2, const double (&c)[N]) {
  const typename L::F x4 = N > 4 ? x2 * x2 : x2;
  const typename L::F x8 = N > 8 ? x4 * x4 : x4;
  return estrin<L, 0, N>(x, x2, x4, x8, c);
}

// sum_j c[j] x^j as an even part in x^2 plus x times an odd part, each by Horner's rule: a longer chain
// than Estrin's scheme, but for P and Q of erfc's correction, evaluated off the longest chain, it rounds
// less (worst erfc error over 150000 arguments in [0, 0.6]: 1.05 ulp this way, 1.20 ulp with Estrin's
// scheme).
template <class L, std::size_t N>
typename L::F polynomial_even_odd(typename L::F x, typename L::F x2, const double (&c)[N]) {
  using F = typename L::F;
  static_assert(N >= 2);
  constexpr std::size_t last_even = (N - 1) / 2 * 2;
  constexpr std::size_t last_odd = (N - 2) / 2 * 2 + 1;
  F even = F(c[last_even]);
  for (std::size_t j = last_even; j >= 2; j -= 2) even = even * x2 + F(c[j - 2]);
  F odd = F(c[last_odd]);
  for (std::size_t j = last_odd; j >= 3; j -= 2) odd = odd * x2 + F(c[j - 2]);
  return even + x * odd;
}

}  // namespace quorbis::core::normal::kernels
