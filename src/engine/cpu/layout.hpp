// Layout rules for fresh results.
#pragma once

#include <span>

#include "engine/cpu/array.hpp"

namespace norva::engine::cpu {

// The memory order of a fresh two-operand result, from the two operand views at the common shape
// (broadcast axes have stride 0): true for row-major, false for column-major. Both row-major gives
// row-major, both column-major gives column-major, otherwise the operands' tendencies decide.
bool two_operand_result_row_major(std::span<const std::size_t> shape,
                                  std::span<const std::ptrdiff_t> a,
                                  std::span<const std::ptrdiff_t> b);

inline Strides two_operand_result_strides(std::span<const std::size_t> shape,
                                          std::span<const std::ptrdiff_t> a,
                                          std::span<const std::ptrdiff_t> b) {
  return two_operand_result_row_major(shape, a, b) ? row_major_strides(shape)
                                                   : col_major_strides(shape);
}

}  // namespace norva::engine::cpu
