// The AVX2 instantiation of the tests' extra blocks; the build compiles this file alone for AVX2 and FMA,
// and everything here but extra_blocks() has internal linkage.
#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/exp_log.hpp"
#include "core/simd/avx2/lanes.hpp"
#include "kernels/clipped_cdf.hpp"
#include "kernels/extra_blocks.hpp"

namespace quorbis::tests::kernels::avx2 {
namespace {

using core::simd::avx2::block;
using L = core::simd::avx2::Avx2Lanes;
namespace normal = core::normal::kernels;

void erfc(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return normal::erfc<L>(v); });
}
void exp(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return normal::exp<L>(v); });
}
void log(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return normal::log<L>(v); });
}
void clipped_cdf(const double* x, double* out, std::size_t n) noexcept {
  block(x, out, n, [](L::F v) { return kernels::clipped_cdf<L>(v); });
}

constexpr ExtraBlocks kExtraBlocks = {erfc, exp, log, clipped_cdf};

}  // namespace

const ExtraBlocks& extra_blocks() noexcept { return kExtraBlocks; }

}  // namespace quorbis::tests::kernels::avx2
