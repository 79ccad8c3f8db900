// The Python classes VaskProbitModel and VaskProbitResults, created on first use.
#pragma once

#include "python/records.hpp"
#include "python/ref.hpp"

namespace quorbis::python {

// A new VaskProbitResults object holding record. Returns a new reference.
Ref make_results_object(ResultsRecord record);

// A new VaskProbitModel object holding record. Returns a new reference.
Ref make_model_object(ModelRecord record);

}  // namespace quorbis::python
