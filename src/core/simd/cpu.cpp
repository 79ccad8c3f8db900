#include "core/simd/cpu.hpp"

#include <atomic>
#include <cstdint>

#if defined(QUORBIS_HAVE_AVX2)
#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace quorbis::core::simd {
namespace {

#if defined(QUORBIS_HAVE_AVX2)
struct CpuidResult {
  std::uint32_t eax, ebx, ecx, edx;
};

CpuidResult cpuid(std::uint32_t leaf) noexcept {
#if defined(_MSC_VER)
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), 0);
  return {static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]), static_cast<std::uint32_t>(r[2]),
          static_cast<std::uint32_t>(r[3])};
#else
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(leaf, 0, a, b, c, d);
  return {a, b, c, d};
#endif
}

// The register-state bits that the operating system has enabled (XCR0).
std::uint64_t enabled_register_state() noexcept {
#if defined(_MSC_VER)
  return _xgetbv(0);
#else
  std::uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
#endif
}

bool detect_avx2() noexcept {
  if (cpuid(0).eax < 7) return false;
  const CpuidResult features = cpuid(1);
  constexpr std::uint32_t kFma = 1u << 12, kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((features.ecx & (kFma | kOsxsave | kAvx)) != (kFma | kOsxsave | kAvx)) return false;
  constexpr std::uint64_t kSseAndAvxState = 0x6;
  if ((enabled_register_state() & kSseAndAvxState) != kSseAndAvxState) return false;
  constexpr std::uint32_t kAvx2 = 1u << 5;
  return (cpuid(7).ebx & kAvx2) != 0;
}
#else
bool detect_avx2() noexcept { return false; }
#endif

std::atomic<bool> fast_paths_enabled{true};

}  // namespace

bool avx2_supported() noexcept {
  static const bool supported = detect_avx2();
  return supported;
}

bool use_avx2() noexcept { return avx2_supported() && fast_paths_enabled.load(std::memory_order_relaxed); }

bool set_fast_paths_enabled(bool enabled) noexcept { return fast_paths_enabled.exchange(enabled); }

}  // namespace quorbis::core::simd
