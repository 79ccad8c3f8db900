// Private module attributes for drivers that pass over the rows in blocks held outside this process.
#pragma once

#include <Python.h>

namespace quorbis::lib {

// Adds _Optimizer, _block_sums, _dummy_columns, _effect_sums and _effects_table to module.
void add_block_api(PyObject* module);

}  // namespace quorbis::lib
