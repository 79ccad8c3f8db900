// The choice between the portable reference path and the fast paths, made once per process from what
// the CPU reports. Every path gives the same bits, so the choice changes speed only; the switch that
// forces the portable path exists so that tests can compare the two on the machine they run on.
#pragma once

namespace quorbis::core::simd {

// Whether this build has the AVX2 path and the CPU and operating system can run it (AVX2 and FMA, with
// the YMM registers saved across context switches).
bool avx2_supported() noexcept;
// Whether the block kernels are to take the AVX2 path now: supported, and fast paths enabled.
bool use_avx2() noexcept;
// Allows or forbids every fast path of the process (allowed by default) and returns the previous
// setting: the normal blocks and the row kernels of every pass, on every thread, from their next block
// on, calls already running included. Results keep their bits either way; only speed changes.
bool set_fast_paths_enabled(bool enabled) noexcept;

}  // namespace quorbis::core::simd
