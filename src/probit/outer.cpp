#include "probit/outer.hpp"

namespace quorbis::probit {
namespace {

using Vec = double __attribute__((vector_size(32), aligned(8)));
constexpr std::size_t kLanes = 4;
constexpr std::size_t kPanelVectors = 4;  // vectors of one accumulator row updated together

// Rows a and a + 1 (when two) of the accumulator, columns [c, c + 4 * Vectors), over all tile rows.
// Weighted: the factor of row r is weight[r] * x[a], else x[a]; Subtract chooses acc - p or acc + p.
template <bool Weighted, bool Subtract, std::size_t Rows, std::size_t Vectors>
[[gnu::always_inline]] inline void update_panel(double* acc, std::size_t width, std::size_t a, std::size_t c,
                                                const double* tile, const double* weight, std::size_t count) {
  Vec sum[Rows][Vectors];
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) sum[i][v] = *reinterpret_cast<const Vec*>(acc + (a + i) * width + c + v * kLanes);
  }
  for (std::size_t r = 0; r < count; ++r) {
    const double* x = tile + r * width;
    for (std::size_t i = 0; i < Rows; ++i) {
      const double factor = Weighted ? weight[r] * x[a + i] : x[a + i];
      for (std::size_t v = 0; v < Vectors; ++v) {
        const Vec p = factor * *reinterpret_cast<const Vec*>(x + c + v * kLanes);
        sum[i][v] = Subtract ? sum[i][v] - p : sum[i][v] + p;
      }
    }
  }
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) *reinterpret_cast<Vec*>(acc + (a + i) * width + c + v * kLanes) = sum[i][v];
  }
}

template <bool Weighted, bool Subtract, std::size_t Rows>
[[gnu::always_inline]] inline void update_rows(double* acc, std::size_t width, std::size_t a, const double* tile,
                                               const double* weight, std::size_t count) {
  std::size_t c = 0;
  for (; c + kPanelVectors * kLanes <= width; c += kPanelVectors * kLanes) {
    update_panel<Weighted, Subtract, Rows, kPanelVectors>(acc, width, a, c, tile, weight, count);
  }
  switch ((width - c) / kLanes) {
    case 3: update_panel<Weighted, Subtract, Rows, 3>(acc, width, a, c, tile, weight, count); break;
    case 2: update_panel<Weighted, Subtract, Rows, 2>(acc, width, a, c, tile, weight, count); break;
    case 1: update_panel<Weighted, Subtract, Rows, 1>(acc, width, a, c, tile, weight, count); break;
    default: break;
  }
}

// The accumulator's rows below k stay untouched: they belong to padding columns.
template <bool Weighted, bool Subtract>
[[gnu::always_inline]] inline void update(double* acc, std::size_t k, std::size_t width, const double* tile,
                                          const double* weight, std::size_t count) {
  std::size_t a = 0;
  for (; a + 2 <= k; a += 2) update_rows<Weighted, Subtract, 2>(acc, width, a, tile, weight, count);
  if (a < k) update_rows<Weighted, Subtract, 1>(acc, width, a, tile, weight, count);
}

// Cloned for AVX2 (chosen at load time) and the baseline; both do the same IEEE operations per entry.
[[gnu::target_clones("avx2", "default")]] void subtract_weighted_outer(double* acc, std::size_t k, std::size_t width,
                                                                       const double* tile, const double* weight,
                                                                       std::size_t count) {
  update<true, true>(acc, k, width, tile, weight, count);
}

[[gnu::target_clones("avx2", "default")]] void add_outer(double* acc, std::size_t k, std::size_t width,
                                                         const double* tile, std::size_t count) {
  update<false, false>(acc, k, width, tile, nullptr, count);
}

}  // namespace

OuterSum::OuterSum(std::size_t k) : k_(k), width_((k + kLanes - 1) / kLanes * kLanes), acc_(width_ * width_, 0.0) {}

void OuterSum::subtract_weighted(const double* tile, const double* weight, std::size_t count) noexcept {
  subtract_weighted_outer(acc_.data(), k_, width_, tile, weight, count);
}

void OuterSum::add(const double* tile, std::size_t count) noexcept { add_outer(acc_.data(), k_, width_, tile, count); }

Matrix OuterSum::result() const {
  Matrix m(k_, k_);
  for (std::size_t a = 0; a < k_; ++a) {
    for (std::size_t c = 0; c < k_; ++c) m(a, c) = acc_[a * width_ + c];
  }
  return m;
}

}  // namespace quorbis::probit
