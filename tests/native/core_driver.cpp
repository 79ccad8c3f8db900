// Prints, as exact bit patterns, what the core computes for fixed inputs: the normal functions on a
// grid (both the single-value and the block forms), a small probit fit with its three covariances, and
// weighted fits with the sandwich of probability weights and a two-way covariance.
// CI runs it on x86-64 and, under emulation, on aarch64, and requires the outputs to be identical.
#include <bit>
#include <cmath>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/probit/clusters.hpp"
#include "core/probit/covariance.hpp"
#include "core/probit/multiway.hpp"
#include "core/probit/optimizer.hpp"
#include "core/probit/probit.hpp"
#include "core/strided.hpp"
#include "kernels/functions.hpp"

namespace {

using namespace quorbis::core;
using quorbis::tests::kernels::Function;

void print(const char* label, double value) {
  std::printf("%s %016" PRIx64 "\n", label, std::bit_cast<std::uint64_t>(value));
}

void print(const char* label, const std::vector<double>& values) {
  for (double v : values) print(label, v);
}

std::vector<double> grid() {
  constexpr double inf = std::numeric_limits<double>::infinity();
  std::vector<double> x = {0.0,   -0.0, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(), 5e-324, -5e-324, 1e-310, -2.2250738585072014e-308,
                           1e-300, 6.0,  -6.0, 27.2, -27.2, 709.78, -745.1, 1e300, -1e300};
  for (int i = -4000; i <= 4000; i += 7) x.push_back(i / 97.0);
  for (int e = -1074; e <= 1023; e += 37) x.push_back(std::ldexp(1.0, e) * 1.2345);
  return x;
}

void normal_functions() {
  const std::vector<double> x = grid();
  for (const char* name : {"erfc", "exp", "log", "cdf", "pdf", "clipped_cdf"}) {
    const Function& f = *quorbis::tests::kernels::find(name);
    std::vector<double> block(x.size());
    f.block(x.data(), block.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double value = f.value(x[i]);
      if (std::bit_cast<std::uint64_t>(value) != std::bit_cast<std::uint64_t>(block[i])) {
        std::printf("%s: single value and block differ at %a\n", f.name, x[i]);
      }
    }
    print(f.name, block);
  }
}

// A small data set from integer arithmetic alone (so that every platform builds the same doubles):
// an intercept, a dummy and three continuous columns, column-major; outcome and cluster ids per row.
struct Data {
  std::size_t n = 1003, k = 5;
  std::vector<double> x, y, cluster;
};

Data simulate() {
  Data d;
  std::uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
  };
  d.x.resize(d.n * d.k);
  for (std::size_t i = 0; i < d.n; ++i) {
    d.x[i] = 1.0;
    d.x[d.n + i] = next() < 0.4 ? 1.0 : 0.0;
    for (std::size_t j = 2; j < d.k; ++j) d.x[j * d.n + i] = 4.0 * next() - 2.0;
    const double index = 0.2 + 0.5 * d.x[d.n + i] + 0.7 * d.x[2 * d.n + i] - 0.4 * d.x[3 * d.n + i];
    d.y.push_back(index + 2.0 * next() - 1.0 > 0.0 ? 1.0 : 0.0);
    d.cluster.push_back(static_cast<double>(i % 37));
  }
  return d;
}

void fit() {
  const Data d = simulate();
  const probit::Probit model(d.y.data(), d.n, probit::Design{d.x.data(), d.n, d.k});
  const MatrixView cluster_view{reinterpret_cast<const char*>(d.cluster.data()),
                                      static_cast<std::ptrdiff_t>(d.n), 1, sizeof(double), 0};
  const probit::Clusters clusters = probit::combine_cluster_keys(cluster_view);
  const probit::Optimum optimum = probit::maximize(model, 35, 1e-6);
  std::printf("iterations %" PRIu64 " converged %d\n", optimum.iterations, optimum.converged ? 1 : 0);
  print("params", optimum.params);
  print("loglike", optimum.loglike);
  const probit::Evaluation at = model.evaluate(
      optimum.params, {.hessian = true, .score_outer_sum = true, .clusters = &clusters});
  const probit::Matrix classical = probit::classical_covariance(at.hessian);
  print("classical", classical.values());
  print("robust", probit::sandwich_covariance(classical, at.score_outer_sum).values());
  print("cluster", probit::sandwich_covariance(classical, at.cluster_meat).values());
}

// Weights of 0.5 to 2 and counts of 1 to 3 from the row number; two clustering dimensions, the second
// crossing the first, whose two-way covariance is not positive semi-definite here.
void weighted_fits() {
  const Data d = simulate();
  std::vector<double> weight(d.n), count(d.n);
  std::vector<std::uint32_t> firm(d.n), year(d.n);
  for (std::size_t i = 0; i < d.n; ++i) {
    weight[i] = 0.5 + 0.25 * static_cast<double>(i % 7);
    count[i] = static_cast<double>(1 + i % 3);
    firm[i] = static_cast<std::uint32_t>(i % 37);
    year[i] = static_cast<std::uint32_t>(i / 7 % 11);
  }
  const probit::Clusters two_way = probit::multiway_clusters({firm, year});
  const probit::Design design{d.x.data(), d.n, d.k};
  for (const auto& [label, weights] : {std::pair{"probability", probit::RowWeights{weight.data(), probit::Weighting::probability}},
                                       std::pair{"frequency", probit::RowWeights{count.data(), probit::Weighting::frequency}}}) {
    const probit::Probit model(d.y.data(), d.n, design, weights);
    const probit::Optimum optimum = probit::maximize(model, 35, 1e-6, {}, true);
    std::printf("%s: iterations %" PRIu64 " converged %d\n", label, optimum.iterations, optimum.converged ? 1 : 0);
    print("params", optimum.params);
    print("loglike", optimum.loglike);
    const probit::Evaluation at = model.evaluate(
        optimum.params, {.hessian = true, .score_outer_sum = true, .clusters = &two_way});
    print("robust", probit::estimate_covariance(at, probit::Covariance::robust).cov.values());
    const probit::CovarianceEstimate multiway =
        probit::estimate_covariance(at, probit::Covariance::clustered, &two_way, true);
    std::printf("two-way: %zu negative eigenvalues\n", multiway.negative_eigenvalues);
    print("two-way", multiway.cov.values());
  }
}

}  // namespace

int main() {
  normal_functions();
  fit();
  weighted_fits();
  return 0;
}
