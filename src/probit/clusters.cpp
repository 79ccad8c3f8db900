#include "probit/clusters.hpp"

#include <charconv>
#include <cmath>
#include <unordered_map>

namespace quorbis::probit {

void append_cluster_value(double value, std::string& out) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  // Fixed notation rounds the exact binary value, ties to even; the largest double needs 309 digits.
  char text[320];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 4);
  out.append(text, result.ptr);
}

void cluster_label(const lib::MatrixView& values, std::ptrdiff_t row, std::string& out) {
  out.clear();
  for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
    if (j > 0) out += '|';
    append_cluster_value(values(row, j), out);
  }
}

Clusters combine_cluster_keys(const lib::MatrixView& values) {
  Clusters clusters;
  clusters.of_row.resize(static_cast<std::size_t>(values.rows));
  std::unordered_map<std::string, std::uint32_t> ids;
  std::string label;
  for (std::ptrdiff_t i = 0; i < values.rows; ++i) {
    cluster_label(values, i, label);
    auto [it, inserted] = ids.try_emplace(label, static_cast<std::uint32_t>(ids.size()));
    clusters.of_row[static_cast<std::size_t>(i)] = it->second;
  }
  clusters.count = ids.size();
  return clusters;
}

}  // namespace quorbis::probit
