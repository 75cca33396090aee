// Gradients of element-wise multiplication and division.
#pragma once

#include <utility>

#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/unary.hpp"

namespace norva::engine::cpu::numeric::backward {

template <class T>
using ArrayPair = std::pair<NdArray<T>, NdArray<T>>;

// (grad * rhs, grad * lhs), each laid out like any product.
template <class T>
KResult<ArrayPair<T>> mul_backward(const ArrayView<T>& grad, const ArrayView<T>& lhs,
                                   const ArrayView<T>& rhs) {
  auto left = ops::mul(grad, rhs);
  if (!left) return std::unexpected(std::move(left.error()));
  auto right = ops::mul(grad, lhs);
  if (!right) return std::unexpected(std::move(right.error()));
  return ArrayPair<T>{std::move(*left), std::move(*right)};
}

// L = g / b and R = ((-g) * a) / (b * b) over the common shape of all three, in one pass; each
// operation is the element type's own (16-bit values round after every step).
template <class T>
KResult<ArrayPair<T>> div_backward(const ArrayView<T>& grad, const ArrayView<T>& lhs,
                                   const ArrayView<T>& rhs) {
  auto ga = ops::broadcast_tensors(grad, lhs);
  if (!ga) return std::unexpected(std::move(ga.error()));
  auto full = ops::broadcast_shapes(ga->first.shape, rhs.shape);
  if (!full) return std::unexpected(std::move(full.error()));
  if (!checked_numel(*full))
    return kfail("Broadcast failed for RHS: " + shape_str(rhs.shape) + " -> " + shape_str(*full));
  ArrayView<T> g = ops::broadcast_view(ga->first, *full);
  ArrayView<T> a = ops::broadcast_view(ga->second, *full);
  ArrayView<T> b = ops::broadcast_view(rhs, *full);
  NdArray<T> left = NdArray<T>::row_major(*full);
  NdArray<T> right = NdArray<T>::row_major(*full);
  if (left.numel() == 0) return ArrayPair<T>{std::move(left), std::move(right)};
  auto plan = make_plan<5>(*full, {left.strides().span(), right.strides().span(), g.strides.span(),
                                   a.strides.span(), b.strides.span()});
  run_plan<5>(
      plan,
      {reinterpret_cast<char*>(left.data()), reinterpret_cast<char*>(right.data()),
       reinterpret_cast<char*>(const_cast<T*>(g.data)),
       reinterpret_cast<char*>(const_cast<T*>(a.data)),
       reinterpret_cast<char*>(const_cast<T*>(b.data))},
      {sizeof(T), sizeof(T), sizeof(T), sizeof(T), sizeof(T)},
      [](const std::array<char*, 5>& p, const std::array<std::ptrdiff_t, 5>& s, std::size_t n) {
        T* l = reinterpret_cast<T*>(p[0]);
        T* r = reinterpret_cast<T*>(p[1]);
        const T* gp = reinterpret_cast<const T*>(p[2]);
        const T* ap = reinterpret_cast<const T*>(p[3]);
        const T* bp = reinterpret_cast<const T*>(p[4]);
        for (std::size_t i = 0; i < n; ++i) {
          std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
          float gv = widen(gp[k * s[2]]);
          float av = widen(ap[k * s[3]]);
          float bv = widen(bp[k * s[4]]);
          l[k * s[0]] = narrow<T>(gv / bv);
          float num = widen(narrow<T>(-gv * av));
          float den = widen(narrow<T>(bv * bv));
          r[k * s[1]] = narrow<T>(num / den);
        }
      });
  return ArrayPair<T>{std::move(left), std::move(right)};
}

}  // namespace norva::engine::cpu::numeric::backward
