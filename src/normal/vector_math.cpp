// The single-value functions, the portable block path and the dispatcher, which sends whole arrays to
// the AVX2 loop when the CPU has AVX2 and FMA and that path is enabled. All three run the kernels of
// kernels.hpp, so they give the same bits.
#include "normal/vector_math.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "normal/kernels.hpp"
#include "normal/normal.hpp"

namespace quorbis::normal {
namespace {

using kernels::Kernel;

constexpr std::uint64_t kSignBit = 0x8000000000000000;

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

// The portable block path: kPortableWidth doubles per lane value in a GCC vector, which the compiler
// maps onto whatever SIMD the baseline target has (SSE2 on x86-64) with the same IEEE operations.
constexpr std::size_t kPortableWidth = 2;
using RawF = double __attribute__((vector_size(8 * kPortableWidth)));
using RawU = std::uint64_t __attribute__((vector_size(8 * kPortableWidth)));
using RawM = std::int64_t __attribute__((vector_size(8 * kPortableWidth)));

struct PortableF {
  RawF v;
  PortableF(double c) : v(RawF{} + c) {}
  PortableF(RawF x) : v(x) {}
};
struct PortableM {
  RawM m;
};
struct PortableU {
  RawU v;
  PortableU(std::uint64_t c) : v(RawU{} + c) {}
  PortableU(RawU x) : v(x) {}
};

PortableF operator+(PortableF a, PortableF b) { return a.v + b.v; }
PortableF operator-(PortableF a, PortableF b) { return a.v - b.v; }
PortableF operator*(PortableF a, PortableF b) { return a.v * b.v; }
PortableF operator/(PortableF a, PortableF b) { return a.v / b.v; }
PortableF operator-(PortableF a) { return -a.v; }
PortableM operator<(PortableF a, PortableF b) { return {a.v < b.v}; }
PortableM operator>(PortableF a, PortableF b) { return {a.v > b.v}; }
PortableM operator<=(PortableF a, PortableF b) { return {a.v <= b.v}; }
PortableM operator>=(PortableF a, PortableF b) { return {a.v >= b.v}; }
PortableM operator==(PortableF a, PortableF b) { return {a.v == b.v}; }
PortableU operator+(PortableU a, PortableU b) { return a.v + b.v; }
PortableU operator-(PortableU a, PortableU b) { return a.v - b.v; }

struct PortableLanes {
  using F = PortableF;
  using U = PortableU;
  using M = PortableM;
  static F select(M m, F a, F b) noexcept { return m.m ? a.v : b.v; }
  static bool all(M m) noexcept {
    for (std::size_t i = 0; i < kPortableWidth; ++i) {
      if (!m.m[i]) return false;
    }
    return true;
  }
  static bool any(M m) noexcept {
    for (std::size_t i = 0; i < kPortableWidth; ++i) {
      if (m.m[i]) return true;
    }
    return false;
  }
  static U bits(F x) noexcept { return reinterpret_cast<RawU>(x.v); }
  static F from_bits(U u) noexcept { return reinterpret_cast<RawF>(u.v); }
  static F abs(F x) noexcept { return from_bits(bits(x).v & ~(RawU{} + kSignBit)); }
  static U shl52(U u) noexcept { return u.v << 52; }
  static U shr52(U u) noexcept { return u.v >> 52; }
  static U shr1(U u) noexcept { return u.v >> 1; }
  static F product_error(F a, F b, F p) noexcept {
    return kernels::dekker_product_error<PortableLanes>(a, b, p);
  }
};

template <class Fn>
[[gnu::flatten]] void portable_block(const double* x, double* out, std::size_t n, Fn fn) noexcept {
  std::size_t i = 0;
  for (; i + kPortableWidth <= n; i += kPortableWidth) {
    RawF v;
    std::memcpy(&v, x + i, sizeof v);
    v = fn(PortableF(v)).v;
    std::memcpy(out + i, &v, sizeof v);
  }
  if (i < n) {
    RawF v = {};
    std::memcpy(&v, x + i, (n - i) * sizeof(double));
    v = fn(PortableF(v)).v;
    std::memcpy(out + i, &v, (n - i) * sizeof(double));
  }
}

// The same for a kernel with two results per value, such as kernels::log_cdf_and_ratio.
template <class Fn>
[[gnu::flatten]] void portable_block_two(const double* x, double* out_a, double* out_b, std::size_t n,
                                         Fn fn) noexcept {
  const auto one = [&](std::size_t i, std::size_t count) {
    RawF v = {};
    std::memcpy(&v, x + i, count * sizeof(double));
    const auto both = fn(PortableF(v));
    std::memcpy(out_a + i, &both.log_cdf.v, count * sizeof(double));
    std::memcpy(out_b + i, &both.ratio.v, count * sizeof(double));
  };
  std::size_t i = 0;
  for (; i + kPortableWidth <= n; i += kPortableWidth) one(i, kPortableWidth);
  if (i < n) one(i, n - i);
}

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
#else
  return false;
#endif
}

std::atomic<bool> simd_enabled{true};

void run(Kernel kernel, const double* x, double* out, std::size_t n) noexcept {
#if defined(__x86_64__)
  if (simd_enabled.load(std::memory_order_relaxed) && cpu_has_avx2()) {
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
#if defined(__x86_64__)
  if (simd_enabled.load(std::memory_order_relaxed) && cpu_has_avx2()) {
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

bool simd_supported() noexcept { return cpu_has_avx2(); }

bool set_simd_enabled(bool enabled) noexcept { return simd_enabled.exchange(enabled); }

}  // namespace quorbis::normal
