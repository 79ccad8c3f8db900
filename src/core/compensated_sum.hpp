// A running sum that carries the rounding errors of its additions: a sum of many parts ends within
// about an ulp of the exact sum of those parts, so that the log-likelihoods of two nearby points
// compare by their values rather than by the rounding of a long sum.
#pragma once

#include <cmath>

namespace quorbis::core {

class CompensatedSum {
 public:
  void add(double x) noexcept {
    const double sum = sum_ + x;
    if (std::isfinite(sum)) {  // an infinite or NaN sum stands as it is
      const double part = sum - sum_;
      error_ = error_ + ((sum_ - (sum - part)) + (x - part));
    }
    sum_ = sum;
  }
  void add(const CompensatedSum& other) noexcept {
    add(other.sum_);
    error_ = error_ + other.error_;
  }
  double value() const noexcept { return sum_ + error_; }

 private:
  double sum_ = 0.0;
  double error_ = 0.0;
};

}  // namespace quorbis::core
