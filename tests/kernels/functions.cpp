#include "kernels/functions.hpp"

#include "core/normal/kernels/curvature.hpp"
#include "core/normal/kernels/distribution.hpp"
#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/exp_log.hpp"
#include "core/normal/kernels/lanes.hpp"
#include "core/normal/kernels/tails.hpp"
#include "core/simd/cpu.hpp"
#include "kernels/clipped_cdf.hpp"
#include "kernels/extra_blocks.hpp"

namespace quorbis::tests::kernels {
namespace {

namespace normal = core::normal::kernels;
using core::simd::normal_blocks;
using normal::ScalarLanes;

const ExtraBlocks& extra_blocks() noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (core::simd::use_avx2()) return avx2::extra_blocks();
#endif
  return portable::extra_blocks();
}

// The path is chosen at each call, so that switching the fast paths off takes effect at once.
constexpr Function kFunctions[] = {
    {"erfc", [](double x) noexcept { return normal::erfc<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { extra_blocks().erfc(x, out, n); }},
    {"exp", [](double x) noexcept { return normal::exp<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { extra_blocks().exp(x, out, n); }},
    {"log", [](double x) noexcept { return normal::log<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { extra_blocks().log(x, out, n); }},
    {"cdf", [](double x) noexcept { return normal::cdf<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { normal_blocks().cdf(x, out, n); }},
    {"pdf", [](double x) noexcept { return normal::pdf<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { normal_blocks().pdf(x, out, n); }},
    {"clipped_cdf", [](double x) noexcept { return clipped_cdf<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { extra_blocks().clipped_cdf(x, out, n); }},
    {"log_cdf", [](double x) noexcept { return normal::log_cdf<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { normal_blocks().log_cdf(x, out, n); }},
    {"pdf_over_cdf", [](double x) noexcept { return normal::pdf_over_cdf<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { normal_blocks().pdf_over_cdf(x, out, n); }},
    {"curvature_weight", [](double x) noexcept { return normal::curvature_weight<ScalarLanes>(x); },
     [](const double* x, double* out, std::size_t n) noexcept { normal_blocks().curvature_weight(x, out, n); }},
};

}  // namespace

std::span<const Function> functions() noexcept { return kFunctions; }

const Function* find(std::string_view name) noexcept {
  for (const Function& f : kFunctions) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

}  // namespace quorbis::tests::kernels
