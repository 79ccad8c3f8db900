// The portable reference path: W doubles per value as plain arrays, every operation a loop over the
// lanes with the same IEEE operation that a SIMD instruction would do on each. Standard C++ only, so
// every compiler builds it; optimisers map the loops onto whatever vector registers the baseline target
// has. Include it only from files compiled for the baseline instruction set: the types have internal
// linkage, as the lane policies of normal/kernels.hpp require.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "normal/kernels.hpp"

namespace quorbis::simd {
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

// The lane policy of the normal kernels (see normal/kernels.hpp) on W lanes.
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

// Four doubles for the row kernels of simd/row_kernels.hpp, loaded from and stored to any double.
struct PortableVec4 : Doubles<4> {
  PortableVec4() = default;
  PortableVec4(double c) : Doubles<4>(c) {}
  PortableVec4(const Doubles<4>& d) : Doubles<4>(d) {}
  static PortableVec4 load(const double* p) noexcept {
    PortableVec4 r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
  }
  static void store(double* p, const PortableVec4& a) noexcept { std::memcpy(p, a.v, sizeof a.v); }
  // Rows a, b, c, d of a 4 x 4 block become its columns.
  static void transpose(PortableVec4& a, PortableVec4& b, PortableVec4& c, PortableVec4& d) noexcept {
    PortableVec4* rows[4] = {&a, &b, &c, &d};
    double t[4][4];
    for (std::size_t i = 0; i < 4; ++i) {
      for (std::size_t j = 0; j < 4; ++j) t[j][i] = rows[i]->v[j];
    }
    for (std::size_t i = 0; i < 4; ++i) std::memcpy(rows[i]->v, t[i], sizeof t[i]);
  }
};

}  // namespace
}  // namespace quorbis::simd
