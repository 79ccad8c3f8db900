#include "probit/clusters.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
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

// Rows with the same bits have the same label, so each distinct bit pattern is formatted only once.
Clusters combine_cluster_keys(const lib::MatrixView& values) {
  Clusters clusters;
  clusters.of_row.resize(static_cast<std::size_t>(values.rows));
  std::unordered_map<std::string, std::uint32_t> id_of_label;
  std::unordered_map<std::string, std::uint32_t> id_of_bits;
  std::string label, bits(static_cast<std::size_t>(values.cols) * sizeof(double), '\0');
  for (std::ptrdiff_t i = 0; i < values.rows; ++i) {
    for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
      std::memcpy(bits.data() + j * std::ptrdiff_t{sizeof(double)}, values.data + i * values.row_stride + j * values.col_stride,
                  sizeof(double));
    }
    auto known = id_of_bits.find(bits);
    if (known == id_of_bits.end()) {
      cluster_label(values, i, label);
      const auto id = id_of_label.try_emplace(label, static_cast<std::uint32_t>(id_of_label.size())).first->second;
      known = id_of_bits.emplace(bits, id).first;
    }
    clusters.of_row[static_cast<std::size_t>(i)] = known->second;
  }
  clusters.count = id_of_label.size();
  return clusters;
}

}  // namespace quorbis::probit
