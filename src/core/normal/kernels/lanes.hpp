// The lane policy over which each normal kernel is written once, so that the single-value, portable and
// SIMD paths run the same IEEE operations in the same order and agree bit for bit; no rounded fused
// multiply-add.
//
// A lane policy L provides the types F (doubles), U (their bit patterns as unsigned 64-bit integers) and
// M (masks from comparisons of F); the operators + - * / and unary - on F, + - on U, and the comparisons
// < > <= >= == on F; and the static functions select(M, F, F), all(M) and any(M) (whether every or some
// lane of a mask is set, as a bool), bits(F), from_bits(U), abs(F), shl52(U), shr52(U), shr1(U) and
// product_error(a, b, p), the exact error a * b - p of p = fl(a * b) (see
// dekker_product_error; being exact, it is the same however a policy computes it). Every policy type
// must have internal linkage, so that the instantiations of one translation unit (compiled for one
// instruction set) never stand in for those of another.
//
// The kernels branch on all() and any() only to skip work, never to change a lane's result: a value
// gives the same bits whichever values share its vector, and the single-value path takes the branch
// that its one value decides.
//
// ScalarLanes, one double per lane value, gives the single-value functions; the SIMD layer (core/simd)
// holds the policies of the block paths.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/normal/kernels/exact.hpp"

namespace quorbis::core::normal::kernels {
namespace {

struct ScalarLanes {
  using F = double;
  using U = std::uint64_t;
  using M = bool;
  static F select(M m, F a, F b) noexcept { return m ? a : b; }
  static bool all(M m) noexcept { return m; }
  static bool any(M m) noexcept { return m; }
  static U bits(F x) noexcept { return std::bit_cast<U>(x); }
  static F from_bits(U u) noexcept { return std::bit_cast<F>(u); }
  static F abs(F x) noexcept { return std::fabs(x); }
  static U shl52(U u) noexcept { return u << 52; }
  static U shr52(U u) noexcept { return u >> 52; }
  static U shr1(U u) noexcept { return u >> 1; }
  static F product_error(F a, F b, F p) noexcept { return dekker_product_error<ScalarLanes>(a, b, p); }
};

}  // namespace
}  // namespace quorbis::core::normal::kernels
