// Gradients of the batched matrix product C = A · B: dA = dC · Bᵀ and dB = Aᵀ · dC, batch by
// batch with the forward product's batch broadcasting (each gradient has the full broadcast batch
// prefix). The transposes are views with the last two axes exchanged: the product kernel takes
// strides, so no factor is copied.
#pragma once

#include <utility>

#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"

namespace norva::engine::cpu::numeric::backward {

// The view with its last two axes exchanged (extents and strides); views of fewer than two axes
// are returned unchanged, so that the product reports them.
template <class T>
ArrayView<T> swap_matrix_axes(const ArrayView<T>& v) {
  ArrayView<T> t = v;
  std::size_t n = t.ndim();
  if (n >= 2) {
    std::swap(t.shape[n - 2], t.shape[n - 1]);
    std::swap(t.strides[n - 2], t.strides[n - 1]);
  }
  return t;
}

// (grad · rhsᵀ, lhsᵀ · grad). 16-bit elements go through the widened binary32 product, so each
// gradient element is rounded once.
template <class T>
KResult<NdArray<T>> matmul_backward_lhs(const ArrayView<T>& grad, const ArrayView<T>& rhs) {
  return ops::matmul<T>(grad, swap_matrix_axes(rhs));
}
template <class T>
KResult<NdArray<T>> matmul_backward_rhs(const ArrayView<T>& grad, const ArrayView<T>& lhs) {
  return ops::matmul<T>(swap_matrix_axes(lhs), grad);
}

template <class T>
KResult<ArrayPair<T>> matmul_backward(const ArrayView<T>& grad, const ArrayView<T>& lhs,
                                      const ArrayView<T>& rhs) {
  auto left = matmul_backward_lhs(grad, rhs);
  if (!left) return std::unexpected(std::move(left.error()));
  auto right = matmul_backward_rhs(grad, lhs);
  if (!right) return std::unexpected(std::move(right.error()));
  return ArrayPair<T>{std::move(*left), std::move(*right)};
}

}  // namespace norva::engine::cpu::numeric::backward
