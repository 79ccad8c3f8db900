#include "python/cluster_codes.hpp"

#include <cmath>
#include <string>

#include "core/probit/multiway.hpp"
#include "python/error.hpp"

namespace quorbis::python {

std::vector<std::uint32_t> cluster_numbers(const core::VectorView& values, const char* what) {
  std::vector<std::uint32_t> out(static_cast<std::size_t>(values.size));
  for (std::ptrdiff_t i = 0; i < values.size; ++i) {
    const double v = values[i];
    if (!(v >= 0.0 && v < 4294967295.0) || v != std::floor(v)) {
      raise(PyExc_ValueError, cat({what, " must hold cluster numbers 0, 1, ..."}));
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(v);
  }
  return out;
}

void check_dimensions(std::size_t dimensions) {
  if (dimensions > core::probit::kMaxDimensions) {
    raise(PyExc_ValueError, cat({"multiway clustering takes at most ", std::to_string(core::probit::kMaxDimensions),
                                 " dimensions, not ", std::to_string(dimensions)}));
  }
}

std::vector<std::span<const std::uint32_t>> spans_of(const std::vector<std::vector<std::uint32_t>>& dimensions) {
  std::vector<std::span<const std::uint32_t>> out;
  for (const std::vector<std::uint32_t>& codes : dimensions) out.emplace_back(codes);
  return out;
}

}  // namespace quorbis::python
