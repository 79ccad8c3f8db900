// The single-value functions, the portable block path and the dispatcher, which sends whole arrays to
// the AVX2 loop when simd::use_avx2() says so. All three run the kernels of kernels.hpp, so they give
// the same bits.
#include "normal/vector_math.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "normal/kernels.hpp"
#include "normal/normal.hpp"
#include "simd/cpu.hpp"
#include "simd/flatten.hpp"
#include "simd/portable.hpp"

namespace quorbis::normal {
namespace {

using kernels::Kernel;

// One double per lane value: the single-value functions.
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
  static F product_error(F a, F b, F p) noexcept {
    return kernels::dekker_product_error<ScalarLanes>(a, b, p);
  }
};

// The portable block path: two doubles per lane value, the width of the baseline vector registers of
// x86-64 (SSE2) and aarch64 (NEON).
constexpr std::size_t kPortableWidth = 2;
using PortableLanes = simd::PortableLanes<kPortableWidth>;

template <class Fn>
QUORBIS_FLATTEN void portable_block(const double* x, double* out, std::size_t n, Fn fn) noexcept {
  using F = PortableLanes::F;
  std::size_t i = 0;
  for (; i + kPortableWidth <= n; i += kPortableWidth) {
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

// The same for a kernel with two results per value, such as kernels::log_cdf_and_ratio.
template <class Fn>
QUORBIS_FLATTEN void portable_block_two(const double* x, double* out_a, double* out_b, std::size_t n,
                                        Fn fn) noexcept {
  using F = PortableLanes::F;
  const auto one = [&](std::size_t i, std::size_t count) {
    F v(0.0);
    std::memcpy(v.v, x + i, count * sizeof(double));
    const auto both = fn(v);
    std::memcpy(out_a + i, both.log_cdf.v, count * sizeof(double));
    std::memcpy(out_b + i, both.ratio.v, count * sizeof(double));
  };
  std::size_t i = 0;
  for (; i + kPortableWidth <= n; i += kPortableWidth) one(i, kPortableWidth);
  if (i < n) one(i, n - i);
}

void run(Kernel kernel, const double* x, double* out, std::size_t n) noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (simd::use_avx2()) {
    kernels::avx2_block(kernel, x, out, n);
    return;
  }
#endif
  using L = PortableLanes;
  switch (kernel) {
    case Kernel::erfc: return portable_block(x, out, n, [](L::F v) { return kernels::erfc<L>(v); });
    case Kernel::exp: return portable_block(x, out, n, [](L::F v) { return kernels::exp<L>(v); });
    case Kernel::log: return portable_block(x, out, n, [](L::F v) { return kernels::log<L>(v); });
    case Kernel::cdf: return portable_block(x, out, n, [](L::F v) { return kernels::cdf<L>(v); });
    case Kernel::pdf: return portable_block(x, out, n, [](L::F v) { return kernels::pdf<L>(v); });
    case Kernel::clipped_cdf:
      return portable_block(x, out, n, [](L::F v) { return kernels::clipped_cdf<L>(v); });
    case Kernel::log_cdf: return portable_block(x, out, n, [](L::F v) { return kernels::log_cdf<L>(v); });
    case Kernel::pdf_over_cdf:
      return portable_block(x, out, n, [](L::F v) { return kernels::pdf_over_cdf<L>(v); });
    case Kernel::curvature_weight:
      return portable_block(x, out, n, [](L::F v) { return kernels::curvature_weight<L>(v); });
  }
}

void run_log_cdf_and_ratio(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept {
#if defined(QUORBIS_HAVE_AVX2)
  if (simd::use_avx2()) {
    kernels::avx2_log_cdf_and_ratio_block(x, log_cdf, ratio, n);
    return;
  }
#endif
  using L = PortableLanes;
  portable_block_two(x, log_cdf, ratio, n, [](L::F v) { return kernels::log_cdf_and_ratio<L>(v); });
}

}  // namespace

double erfc(double x) noexcept { return kernels::erfc<ScalarLanes>(x); }
double exp(double x) noexcept { return kernels::exp<ScalarLanes>(x); }
double log(double x) noexcept { return kernels::log<ScalarLanes>(x); }
double cdf(double x) noexcept { return kernels::cdf<ScalarLanes>(x); }
double pdf(double x) noexcept { return kernels::pdf<ScalarLanes>(x); }
double clipped_cdf(double z) noexcept { return kernels::clipped_cdf<ScalarLanes>(z); }
double log_cdf(double z) noexcept { return kernels::log_cdf<ScalarLanes>(z); }
double pdf_over_cdf(double z) noexcept { return kernels::pdf_over_cdf<ScalarLanes>(z); }
double curvature_weight(double z) noexcept { return kernels::curvature_weight<ScalarLanes>(z); }

void erfc_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::erfc, x, out, n); }
void exp_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::exp, x, out, n); }
void log_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::log, x, out, n); }
void cdf_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::cdf, x, out, n); }
void pdf_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::pdf, x, out, n); }
void clipped_cdf_block(const double* x, double* out, std::size_t n) noexcept {
  run(Kernel::clipped_cdf, x, out, n);
}
void log_cdf_block(const double* x, double* out, std::size_t n) noexcept { run(Kernel::log_cdf, x, out, n); }
void pdf_over_cdf_block(const double* x, double* out, std::size_t n) noexcept {
  run(Kernel::pdf_over_cdf, x, out, n);
}
void curvature_weight_block(const double* x, double* out, std::size_t n) noexcept {
  run(Kernel::curvature_weight, x, out, n);
}
void log_cdf_and_ratio_block(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept {
  run_log_cdf_and_ratio(x, log_cdf, ratio, n);
}

bool simd_supported() noexcept { return simd::avx2_supported(); }

bool set_simd_enabled(bool enabled) noexcept { return simd::set_fast_paths_enabled(enabled); }

}  // namespace quorbis::normal
