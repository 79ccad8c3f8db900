// The choice between the portable reference path and the fast paths, made once per process from what
// the CPU reports. Every path gives the same bits, so the choice changes speed only; the switch that
// forces the portable path exists so that tests can compare the two on the machine they run on.
#pragma once

namespace quorbis::simd {

// Whether this build has the AVX2 path and the CPU and operating system can run it (AVX2 and FMA, with
// the YMM registers saved across context switches).
bool avx2_supported() noexcept;
// Whether the block kernels are to take the AVX2 path now: supported, and fast paths enabled.
bool use_avx2() noexcept;
// Allows or forbids the fast paths (allowed by default); returns the previous setting.
bool set_fast_paths_enabled(bool enabled) noexcept;

}  // namespace quorbis::simd
