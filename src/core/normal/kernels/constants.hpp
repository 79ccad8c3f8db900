// Constants of IEEE double arithmetic that the normal kernels share.
#pragma once

#include <cstdint>
#include <limits>

namespace quorbis::core::normal::kernels {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer held in the low mantissa bits.
inline constexpr double kShifter = 6755399441055744.0;
inline constexpr std::uint64_t kShifterBits = 0x4338000000000000;
inline constexpr double kTinySquare = 0x1p-400;
inline constexpr double kTwoTo54 = 18014398509481984.0;
inline constexpr double kMinNormal = 2.2250738585072014e-308;
inline constexpr std::uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCD;  // sqrt(1/2) rounded down
inline constexpr std::uint64_t kExponentOffset = 0x4000000000000000;  // 1024 << 52

inline constexpr double kSqrt2 = 1.4142135623730951;
inline constexpr double kSqrt2Pi = 2.5066282746310007;

}  // namespace quorbis::core::normal::kernels
