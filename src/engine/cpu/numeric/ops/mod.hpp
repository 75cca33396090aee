// Broadcasting: the common shape of two shapes, and stride-0 views of two arrays at that shape.
// Used by every two-operand kernel (all element types, Bool included) and by the batch axes of
// the matrix product.
#pragma once

#include <span>
#include <utility>

#include "engine/cpu/array.hpp"
#include "util/error.hpp"

namespace norva::engine::cpu::numeric::ops {

// Right-aligned common shape; "Shape mismatch: cannot broadcast [..] and [..]" on failure.
KResult<Shape> broadcast_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b);

// The strides of `shape`/`strides` viewed at `target` (stride 0 on broadcast and missing axes).
// The caller guarantees that the shapes broadcast.
Strides broadcast_strides(std::span<const std::size_t> shape,
                          std::span<const std::ptrdiff_t> strides,
                          std::span<const std::size_t> target);

template <class T>
ArrayView<T> broadcast_view(const ArrayView<T>& v, const Shape& target) {
  return ArrayView<T>{v.data, target, broadcast_strides(v.shape, v.strides, target)};
}

// Both operands viewed at their common shape; no element is copied.
template <class T>
KResult<std::pair<ArrayView<T>, ArrayView<T>>> broadcast_tensors(const ArrayView<T>& a,
                                                                 const ArrayView<T>& b) {
  if (a.shape == b.shape) return std::pair{a, b};
  auto common = broadcast_shapes(a.shape, b.shape);
  if (!common) return std::unexpected(std::move(common.error()));
  if (!checked_numel(*common))
    return kfail("Broadcast failed for A: " + shape_str(a.shape) + " -> " + shape_str(*common));
  return std::pair{broadcast_view(a, *common), broadcast_view(b, *common)};
}

}  // namespace norva::engine::cpu::numeric::ops
