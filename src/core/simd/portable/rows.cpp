// The portable instantiation of the row kernels: the reference path of the probit passes.
#include <cstring>

#include "core/simd/portable/lanes.hpp"
#include "core/simd/row_kernels.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::simd::portable {
namespace {

// Four doubles for the row kernels of core/simd/row_kernels.hpp, loaded from and stored to any double.
struct Vec4 : Doubles<4> {
  Vec4() = default;
  Vec4(double c) : Doubles<4>(c) {}
  Vec4(const Doubles<4>& d) : Doubles<4>(d) {}
  static Vec4 load(const double* p) noexcept {
    Vec4 r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
  }
  static void store(double* p, const Vec4& a) noexcept { std::memcpy(p, a.v, sizeof a.v); }
  // Rows a, b, c, d of a 4 x 4 block become its columns.
  static void transpose(Vec4& a, Vec4& b, Vec4& c, Vec4& d) noexcept {
    Vec4* rows[4] = {&a, &b, &c, &d};
    double t[4][4];
    for (std::size_t i = 0; i < 4; ++i) {
      for (std::size_t j = 0; j < 4; ++j) t[j][i] = rows[i]->v[j];
    }
    for (std::size_t i = 0; i < 4; ++i) std::memcpy(rows[i]->v, t[i], sizeof t[i]);
  }
};

constexpr RowKernels kRowKernels = row_kernel_table<Vec4>();

}  // namespace

const RowKernels& row_kernels() noexcept { return kRowKernels; }

}  // namespace quorbis::core::simd::portable
