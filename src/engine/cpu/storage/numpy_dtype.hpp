// The NumPy data type of each element type: float16, bfloat16 (the type registered with NumPy
// under that name), float32 and bool.
#pragma once

#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/pyref.hpp"

namespace norva::engine::cpu::storage {

// A new reference to the NumPy dtype of `d`; fails (TypeError) only for bfloat16 when no NumPy
// bfloat16 type can be found.
Result<PyRef> numpy_descr(DType d);

}  // namespace norva::engine::cpu::storage
