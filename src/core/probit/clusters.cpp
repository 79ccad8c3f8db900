#include "core/probit/clusters.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "core/probit/ids.hpp"

namespace quorbis::core::probit {
namespace {

// Appends one value in four-decimal notation ("NaN", "inf" and "-inf" for the non-finite).
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

}  // namespace

void cluster_label(const core::MatrixView& values, std::ptrdiff_t row, std::string& out) {
  out.clear();
  for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
    if (j > 0) out += '|';
    append_cluster_value(values(row, j), out);
  }
}

namespace {

// Rows with the same bits have the same label, so each distinct bit pattern (the key) is formatted
// only once; ids follow the first appearance of each label.
template <class Ids, class ReadKey>
Clusters group_rows(const core::MatrixView& values, ReadKey read_key) {
  Clusters clusters;
  clusters.of_row.resize(static_cast<std::size_t>(values.rows));
  std::unordered_map<std::string, std::uint32_t> id_of_label;
  Ids id_of_key;
  std::string label;
  for (std::ptrdiff_t i = 0; i < values.rows; ++i) {
    std::uint32_t& id = id_of_key[read_key(i)];
    if (id == IdOfKey::kNone) {
      cluster_label(values, i, label);
      id = id_of_label.try_emplace(label, static_cast<std::uint32_t>(id_of_label.size())).first->second;
    }
    clusters.of_row[static_cast<std::size_t>(i)] = id;
  }
  clusters.count = id_of_label.size();
  return clusters;
}

// The map of keys of several columns, whose ids start as IdOfKey::kNone too.
struct IdOfText : std::unordered_map<std::string, std::uint32_t> {
  std::uint32_t& operator[](std::string key) { return try_emplace(std::move(key), IdOfKey::kNone).first->second; }
};

}  // namespace

Clusters combine_cluster_keys(const core::MatrixView& values) {
  if (values.cols == 1) {
    return group_rows<IdOfKey>(values, [&](std::ptrdiff_t i) { return std::bit_cast<std::uint64_t>(values(i, 0)); });
  }
  return group_rows<IdOfText>(values, [&](std::ptrdiff_t i) {
    std::string bits(static_cast<std::size_t>(values.cols) * sizeof(double), '\0');
    for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
      const double v = values(i, j);
      std::memcpy(bits.data() + j * std::ptrdiff_t{sizeof(double)}, &v, sizeof v);
    }
    return bits;
  });
}

}  // namespace quorbis::core::probit
