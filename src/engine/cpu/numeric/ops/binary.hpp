// Two-operand element-wise kernels: broadcast, choose the result layout, walk.
#pragma once

#include "engine/cpu/elements.hpp"
#include "engine/cpu/layout.hpp"
#include "engine/cpu/loops/loops.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/walk.hpp"

namespace norva::engine::cpu::numeric::ops {

// Runs `loop` over two views already at one common shape into a fresh result laid out by the
// two-operand rule.
template <class O, class T>
NdArray<O> map2(const ArrayView<T>& a, const ArrayView<T>& b, loops::BinaryLoop loop) {
  const Shape& shape = a.shape;
  Strides os = two_operand_result_strides(shape, a.strides, b.strides);
  NdArray<O> out(shape, std::move(os));
  std::size_t n = out.numel();
  if (n == 0) return out;
  if (out.strides() == a.strides && out.strides() == b.strides) {
    // Dense operands of the result's own layout: one run over the whole buffer.
    loop(a.data, 1, b.data, 1, out.data(), 1, n);
    return out;
  }
  auto plan = make_plan<3>(shape, {out.strides().span(), a.strides.span(), b.strides.span()});
  run_plan<3>(plan,
              {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<T*>(a.data)),
               reinterpret_cast<char*>(const_cast<T*>(b.data))},
              {sizeof(O), sizeof(T), sizeof(T)},
              [&](const std::array<char*, 3>& p, const std::array<std::ptrdiff_t, 3>& s,
                  std::size_t len) { loop(p[1], s[1], p[2], s[2], p[0], s[0], len); });
  return out;
}

// Broadcasts two arrays and applies `loop`; the error is the broadcast message.
template <class O, class T>
KResult<NdArray<O>> binary(const ArrayView<T>& a, const ArrayView<T>& b, loops::BinaryLoop loop) {
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return map2<O>(views->first, views->second, loop);
}

// Element index of the loop tables for a float element type.
template <class T>
constexpr int loop_index() {
  if constexpr (std::is_same_v<T, f16>)
    return loops::kF16;
  else if constexpr (std::is_same_v<T, bf16>)
    return loops::kBF16;
  else if constexpr (std::is_same_v<T, float>)
    return loops::kF32;
  else
    return loops::kBool;
}

template <class T>
KResult<NdArray<T>> arith(const NdArray<T>& a, const NdArray<T>& b, loops::Arith op) {
  return binary<T>(a.view(), b.view(), loops::table().arith[loop_index<T>()][static_cast<int>(op)]);
}

template <class T>
KResult<NdArray<Bool8>> compare(const NdArray<T>& a, const NdArray<T>& b, loops::Cmp op) {
  return binary<Bool8>(a.view(), b.view(), loops::table().cmp[loop_index<T>()][static_cast<int>(op)]);
}

// mul of two arrays (used by the multiplication gradient as well).
template <class T>
KResult<NdArray<T>> mul(const ArrayView<T>& a, const ArrayView<T>& b) {
  return binary<T>(a, b, loops::table().arith[loop_index<T>()][static_cast<int>(loops::Arith::Mul)]);
}

}  // namespace norva::engine::cpu::numeric::ops
