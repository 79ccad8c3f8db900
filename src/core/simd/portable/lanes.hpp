// The portable reference path: W doubles per value as plain arrays, every operation a loop over the
// lanes with the same IEEE operation that a SIMD instruction would do on each. Standard C++ only, so
// every compiler builds it; optimisers map the loops onto whatever vector registers the baseline target
// has. Include it only from files compiled for the baseline instruction set: the types have internal
// linkage, as the lane policies of normal/kernels/lanes.hpp require.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/normal/kernels/exact.hpp"
#include "core/simd/flatten.hpp"

namespace quorbis::core::simd::portable {
namespace {

// W values of type T; the operators are those of T, lane by lane, and a T stands for W copies of itself.
template <class T, std::size_t W>
struct Lanes {
  T v[W];
  Lanes() = default;
  Lanes(T c) {
    for (std::size_t i = 0; i < W; ++i) v[i] = c;
  }
  // Lanes of bool that compare lanes of T.
  using Mask = Lanes<bool, W>;

  friend Lanes operator+(Lanes a, const Lanes& b) {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = a.v[i] + b.v[i];
    return a;
  }
  friend Lanes operator-(Lanes a, const Lanes& b) {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = a.v[i] - b.v[i];
    return a;
  }
  friend Lanes operator*(Lanes a, const Lanes& b) {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = a.v[i] * b.v[i];
    return a;
  }
  friend Lanes operator/(Lanes a, const Lanes& b) {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = a.v[i] / b.v[i];
    return a;
  }
  friend Lanes operator-(Lanes a) {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = -a.v[i];
    return a;
  }
  friend Mask operator<(const Lanes& a, const Lanes& b) {
    Mask m;
    for (std::size_t i = 0; i < W; ++i) m.v[i] = a.v[i] < b.v[i];
    return m;
  }
  friend Mask operator>(const Lanes& a, const Lanes& b) { return b < a; }
  friend Mask operator<=(const Lanes& a, const Lanes& b) {
    Mask m;
    for (std::size_t i = 0; i < W; ++i) m.v[i] = a.v[i] <= b.v[i];
    return m;
  }
  friend Mask operator>=(const Lanes& a, const Lanes& b) { return b <= a; }
  friend Mask operator==(const Lanes& a, const Lanes& b) {
    Mask m;
    for (std::size_t i = 0; i < W; ++i) m.v[i] = a.v[i] == b.v[i];
    return m;
  }
};

template <std::size_t W>
using Doubles = Lanes<double, W>;
template <std::size_t W>
using Words = Lanes<std::uint64_t, W>;
template <std::size_t W>
using Flags = Lanes<bool, W>;

// The lane policy of the normal kernels (see normal/kernels/lanes.hpp) on W lanes.
template <std::size_t W>
struct PortableLanes {
  using F = Doubles<W>;
  using U = Words<W>;
  using M = Flags<W>;
  static F select(M m, F a, F b) noexcept {
    for (std::size_t i = 0; i < W; ++i) a.v[i] = m.v[i] ? a.v[i] : b.v[i];
    return a;
  }
  static bool all(M m) noexcept {
    bool r = true;
    for (std::size_t i = 0; i < W; ++i) r = r && m.v[i];
    return r;
  }
  static bool any(M m) noexcept {
    bool r = false;
    for (std::size_t i = 0; i < W; ++i) r = r || m.v[i];
    return r;
  }
  static U bits(F x) noexcept {
    U u;
    for (std::size_t i = 0; i < W; ++i) u.v[i] = std::bit_cast<std::uint64_t>(x.v[i]);
    return u;
  }
  static F from_bits(U u) noexcept {
    F x;
    for (std::size_t i = 0; i < W; ++i) x.v[i] = std::bit_cast<double>(u.v[i]);
    return x;
  }
  static F abs(F x) noexcept {
    constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFF;
    U u = bits(x);
    for (std::size_t i = 0; i < W; ++i) u.v[i] &= kMagnitude;
    return from_bits(u);
  }
  static U shl52(U u) noexcept {
    for (std::size_t i = 0; i < W; ++i) u.v[i] <<= 52;
    return u;
  }
  static U shr52(U u) noexcept {
    for (std::size_t i = 0; i < W; ++i) u.v[i] >>= 52;
    return u;
  }
  static U shr1(U u) noexcept {
    for (std::size_t i = 0; i < W; ++i) u.v[i] >>= 1;
    return u;
  }
  static F product_error(F a, F b, F p) noexcept {
    return normal::kernels::dekker_product_error<PortableLanes>(a, b, p);
  }
};

// The block path of the normal kernels: two doubles per lane value, the width of the baseline vector
// registers of x86-64 (SSE2) and aarch64 (NEON).
constexpr std::size_t kWidth = 2;
using NormalLanes = PortableLanes<kWidth>;

// out[i] = fn(x[i]) for i < n, kWidth values at a time; the last n % kWidth through a zero-padded value.
template <class Fn>
QUORBIS_FLATTEN void block(const double* x, double* out, std::size_t n, Fn fn) noexcept {
  using F = NormalLanes::F;
  std::size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    F v;
    std::memcpy(v.v, x + i, sizeof v.v);
    v = fn(v);
    std::memcpy(out + i, v.v, sizeof v.v);
  }
  if (i < n) {
    F v(0.0);
    std::memcpy(v.v, x + i, (n - i) * sizeof(double));
    v = fn(v);
    std::memcpy(out + i, v.v, (n - i) * sizeof(double));
  }
}

// The same for a kernel with two results per value, such as normal::kernels::log_cdf_and_ratio.
template <class Fn>
QUORBIS_FLATTEN void block_two(const double* x, double* out_a, double* out_b, std::size_t n, Fn fn) noexcept {
  using F = NormalLanes::F;
  const auto one = [&](std::size_t i, std::size_t count) {
    F v(0.0);
    std::memcpy(v.v, x + i, count * sizeof(double));
    const auto both = fn(v);
    std::memcpy(out_a + i, both.log_cdf.v, count * sizeof(double));
    std::memcpy(out_b + i, both.ratio.v, count * sizeof(double));
  };
  std::size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) one(i, kWidth);
  if (i < n) one(i, n - i);
}

}  // namespace
}  // namespace quorbis::core::simd::portable
