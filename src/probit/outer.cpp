#include "probit/outer.hpp"

#include <algorithm>

#include "probit/vec4.hpp"

namespace quorbis::probit {
namespace {

constexpr std::size_t kNarrow = 3 * kLanes;  // widths up to this are updated a whole row at a time

// Accumulator rows a .. a + Rows - 1, columns [c, c + 4 * Vectors), over all tile rows r:
// acc[a][c] = acc[a][c] -/+ factors[r][a] * values[r][c].
template <bool Subtract, std::size_t Rows, std::size_t Vectors>
[[gnu::always_inline]] inline void update_panel(double* acc, std::size_t width, std::size_t a, std::size_t c,
                                                const double* factors, const double* values, std::size_t count) {
  Vec sum[Rows][Vectors];
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) sum[i][v] = *reinterpret_cast<const Vec*>(acc + (a + i) * width + c + v * kLanes);
  }
  for (std::size_t r = 0; r < count; ++r) {
    const double* f = factors + r * width + a;
    const double* x = values + r * width + c;
    for (std::size_t i = 0; i < Rows; ++i) {
      for (std::size_t v = 0; v < Vectors; ++v) {
        const Vec p = f[i] * *reinterpret_cast<const Vec*>(x + v * kLanes);
        sum[i][v] = Subtract ? sum[i][v] - p : sum[i][v] + p;
      }
    }
  }
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) *reinterpret_cast<Vec*>(acc + (a + i) * width + c + v * kLanes) = sum[i][v];
  }
}

// Accumulator rows a .. a + Rows - 1 from column `from` to the end of the row, in panels of Vectors
// vectors and one of whatever is left.
template <bool Subtract, std::size_t Rows, std::size_t Vectors>
[[gnu::always_inline]] inline void update_rows(double* acc, std::size_t width, std::size_t a, std::size_t from,
                                               const double* factors, const double* values, std::size_t count) {
  std::size_t c = from;
  for (; c + Vectors * kLanes <= width; c += Vectors * kLanes) {
    update_panel<Subtract, Rows, Vectors>(acc, width, a, c, factors, values, count);
  }
  switch ((width - c) / kLanes) {
    case 2: update_panel<Subtract, Rows, 2>(acc, width, a, c, factors, values, count); break;
    case 1: update_panel<Subtract, Rows, 1>(acc, width, a, c, factors, values, count); break;
    default: break;
  }
}

// The panels keep at most twelve vector sums in registers: three rows of up to three vectors for narrow
// widths, six rows of two vectors otherwise. Rows from k on belong to padding columns and stay untouched.
// With Upper, each row panel starts at the vector holding its first diagonal entry, which leaves out
// only entries below the diagonal.
template <bool Subtract, bool Upper>
[[gnu::always_inline]] inline void update(double* acc, std::size_t k, std::size_t width, const double* factors,
                                          const double* values, std::size_t count) {
  auto from = [](std::size_t a) { return Upper ? a / kLanes * kLanes : 0; };
  std::size_t a = 0;
  if (width > kNarrow) {
    for (; a + 6 <= k; a += 6) update_rows<Subtract, 6, 2>(acc, width, a, from(a), factors, values, count);
  }
  for (; a + 3 <= k; a += 3) update_rows<Subtract, 3, 3>(acc, width, a, from(a), factors, values, count);
  if (k - a == 2) update_rows<Subtract, 2, 3>(acc, width, a, from(a), factors, values, count);
  if (k - a == 1) update_rows<Subtract, 1, 3>(acc, width, a, from(a), factors, values, count);
}

// Cloned for AVX2 (chosen at load time) and the baseline; both do the same IEEE operations per entry.
[[gnu::target_clones("avx2", "default")]] void subtract_outer(double* acc, std::size_t k, std::size_t width,
                                                              const double* factors, const double* values,
                                                              std::size_t count) {
  update<true, true>(acc, k, width, factors, values, count);
}

[[gnu::target_clones("avx2", "default")]] void add_outer(double* acc, std::size_t k, std::size_t width,
                                                         const double* values, std::size_t count) {
  update<false, true>(acc, k, width, values, values, count);
}

}  // namespace

OuterSum::OuterSum(std::size_t k) : k_(k), width_(width_of(k)), acc_(width_ * width_, 0.0) {}

void OuterSum::subtract(const double* factors, const double* values, std::size_t count) noexcept {
  subtract_outer(acc_.data(), k_, width_, factors, values, count);
}

void OuterSum::add(const double* tile, std::size_t count) noexcept {
  add_outer(acc_.data(), k_, width_, tile, count);
}

void OuterSum::add(const OuterSum& part) noexcept {
  for (std::size_t i = 0; i < acc_.size(); ++i) acc_[i] = acc_[i] + part.acc_[i];
}

void OuterSum::clear() noexcept { std::fill(acc_.begin(), acc_.end(), 0.0); }

Matrix OuterSum::result() const {
  Matrix m(k_, k_);
  for (std::size_t a = 0; a < k_; ++a) {
    for (std::size_t c = 0; c < k_; ++c) {
      m(a, c) = acc_[std::min(a, c) * width_ + std::max(a, c)];
    }
  }
  return m;
}

}  // namespace quorbis::probit
