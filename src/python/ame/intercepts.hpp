// Intercept columns are recognised by name alone: "const" or "intercept" in any letter case.
#pragma once

#include <string>
#include <vector>

namespace quorbis::python::ame {

// One flag per name: true when the name, lower-cased with Python's full Unicode rules (str.lower),
// is exactly "const" or "intercept". Nothing is trimmed.
std::vector<bool> intercept_columns(const std::vector<std::string>& names);

}  // namespace quorbis::python::ame
