// The portable instantiation of the normal kernels: the reference path, which every build has and every
// other path must match bit for bit.
#include "core/normal/kernels/curvature.hpp"
#include "core/normal/kernels/distribution.hpp"
#include "core/normal/kernels/tails.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/portable/lanes.hpp"

namespace quorbis::core::simd::portable {
namespace {

namespace kernels = normal::kernels;
using L = NormalLanes;

void cdf(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::cdf<L>(v); });
}
void pdf(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::pdf<L>(v); });
}
void log_cdf(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::log_cdf<L>(v); });
}
void pdf_over_cdf(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::pdf_over_cdf<L>(v); });
}
void curvature_weight(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::curvature_weight<L>(v); });
}
void log_cdf_and_ratio(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept {
  block_two(x, log_cdf, ratio, n, [](L::F v) { return kernels::log_cdf_and_ratio<L>(v); });
}

constexpr NormalBlocks kNormalBlocks = {cdf, pdf, log_cdf, pdf_over_cdf, curvature_weight, log_cdf_and_ratio};

}  // namespace

const NormalBlocks& normal_blocks() noexcept { return kNormalBlocks; }

}  // namespace quorbis::core::simd::portable
