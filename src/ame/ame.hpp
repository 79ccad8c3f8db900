// The body of ame: average marginal effects of a fitted probit model, as a pandas DataFrame.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/ref.hpp"

namespace quorbis::ame {

// Returns a new reference to the DataFrame.
lib::Ref ame(PyObject* probit_model, std::optional<std::uint64_t> chunk_size);

}  // namespace quorbis::ame
