// The portable instantiation of the tests' extra blocks.
#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/exp_log.hpp"
#include "core/simd/portable/lanes.hpp"
#include "kernels/clipped_cdf.hpp"
#include "kernels/extra_blocks.hpp"

namespace quorbis::tests::kernels::portable {
namespace {

using core::simd::portable::block;
using L = core::simd::portable::NormalLanes;
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

}  // namespace quorbis::tests::kernels::portable
