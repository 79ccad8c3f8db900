// The pandas DataFrame that ame returns: one row per reported regressor, indexed by its name.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/ame/effects.hpp"
#include "python/ref.hpp"

namespace quorbis::python::ame {

// "***" below 0.01, "**" below 0.05, "*" below 0.1, else (NaN included) "".
const char* significance_stars(double p_value) noexcept;

// Imports pandas and builds DataFrame(data={"dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"},
// index=names of the reported columns). Returns a new reference.
Ref effects_table(const std::vector<core::ame::ColumnEffect>& effects, const std::vector<std::string>& names);

}  // namespace quorbis::python::ame
