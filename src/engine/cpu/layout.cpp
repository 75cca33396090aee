#include "engine/cpu/layout.hpp"

#include <algorithm>

namespace norva::engine::cpu {

namespace {
struct Class {
  bool row = false;
  bool col = false;
  int tendency = 0;
};

Class classify(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  std::size_t n = shape.size();
  std::size_t big = 0;
  for (std::size_t e : shape) big += e > 1;
  bool row = is_row_major(shape, strides);
  if (row && big <= 1) return {true, true, 0};
  if (row) return {true, false, 2};
  if (n >= 2 && is_col_major(shape, strides)) return {false, true, -2};
  if (n >= 2 && shape[0] > 1 && strides[0] == 1) return {false, false, -1};
  if (n >= 2 && shape[n - 1] > 1 && strides[n - 1] == 1) return {false, false, 1};
  return {};
}
}  // namespace

bool two_operand_result_row_major(std::span<const std::size_t> shape,
                                  std::span<const std::ptrdiff_t> a,
                                  std::span<const std::ptrdiff_t> b) {
  Class ca = classify(shape, a);
  bool same = true;
  for (std::size_t i = 0; i < a.size(); ++i) same &= a[i] == b[i];
  if (same) return ca.row || (!ca.col && ca.tendency >= 0);
  Class cb = classify(shape, b);
  if (ca.row && cb.row) return true;
  if (ca.col && cb.col) return false;
  return ca.tendency + cb.tendency >= 0;
}

}  // namespace norva::engine::cpu
