// Cluster codes as the Python layer numbers the clusters of a dimension: 0, 1, ... as float64, one per
// row, read into the core's uint32 codes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::python {

// ValueError naming `what` for anything but whole numbers from 0 below 2^32 - 1.
std::vector<std::uint32_t> cluster_numbers(const core::VectorView& values, const char* what);

// ValueError for more clustering dimensions than the core takes.
void check_dimensions(std::size_t dimensions);

// Views of each dimension's codes, for the core.
std::vector<std::span<const std::uint32_t>> spans_of(const std::vector<std::vector<std::uint32_t>>& dimensions);

}  // namespace quorbis::python
