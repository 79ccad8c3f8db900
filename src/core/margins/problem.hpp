// Average predictions and derivatives of a probit model over the rows of its design X, each row
// weighted by w (1 when no weights are given). A scenario replaces some columns of X, x*_l = c or
// c e_l with e an extra per-row column, and in it, with eta = x*.b and phi'(t) = -t phi(t):
//   average prediction:         P = sum w Phi(eta),      G_l = sum w phi(eta) x*_l
//   derivative d = dx*/dv, s = d.b:  D = sum w phi(eta) s,  G_l = sum w phi(eta) d_l - sum w eta phi(eta) s x*_l
// The sums come out before division by sum w, so that sums over several passes add up.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core::margins {

inline constexpr std::ptrdiff_t kNoSource = -1;

// The value of column `column` in every row: constant, or constant times the extra column `source`.
struct Entry {
  std::size_t column;
  double constant;
  std::ptrdiff_t source;  // an index into MarginProblem::extras, or kNoSource
};

// The columns a scenario replaces, each at most once; the others are those of X.
struct Scenario {
  std::vector<Entry> replaced;
};

// The nonzero columns of dx*/dv in a scenario, each at most once.
struct Derivative {
  std::size_t scenario;
  std::vector<Entry> columns;
};

struct MarginProblem {
  MatrixView exog;                    // n x k
  VectorView params;                  // k
  std::vector<VectorView> extras;     // n values each
  std::optional<VectorView> weights;  // n values
  std::vector<Scenario> scenarios;
  std::vector<std::size_t> predictions;  // the scenarios whose average prediction is wanted
  std::vector<Derivative> derivatives;
};

// P and D for the predictions in the order asked, then the derivatives; G likewise, one row each.
struct MarginSums {
  std::vector<double> values;
  std::vector<double> jacobian;  // row-major, k columns
  double weight = 0.0;           // sum w: the number of rows when unweighted
};

}  // namespace quorbis::core::margins
