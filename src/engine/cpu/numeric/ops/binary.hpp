// Two-operand element-wise kernels: broadcast, choose the result layout, walk.
#pragma once

#include <algorithm>

#include "engine/cpu/elements.hpp"
#include "engine/cpu/layout.hpp"
#include "engine/cpu/loops/loops.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/walk.hpp"

namespace norva::engine::cpu::numeric::ops {

// Runs `loop` over two operands already at one common shape (a and b are the element pointers
// and strides of each) into a fresh result laid out by the two-operand rule.
template <class O, class T>
NdArray<O> map2(std::span<const std::size_t> shape, const T* a, std::span<const std::ptrdiff_t> as,
                const T* b, std::span<const std::ptrdiff_t> bs, loops::BinaryLoop loop) {
  NdArray<O> out(Shape(shape), two_operand_result_strides(shape, as, bs));
  std::size_t n = out.numel();
  if (n == 0) return out;
  std::span<const std::ptrdiff_t> os = out.strides();
  bool same = true;
  for (std::size_t i = 0; i < os.size(); ++i) same &= (os[i] == as[i]) & (os[i] == bs[i]);
  if (same) {
    // Dense operands of the result's own layout: one run over the whole buffer.
    loop(a, 1, b, 1, out.data(), 1, n);
    return out;
  }
  auto plan = make_plan<3>(shape, {os, as, bs});
  run_plan<3>(plan,
              {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<T*>(a)),
               reinterpret_cast<char*>(const_cast<T*>(b))},
              {sizeof(O), sizeof(T), sizeof(T)},
              [&](const std::array<char*, 3>& p, const std::array<std::ptrdiff_t, 3>& s,
                  std::size_t len) { loop(p[1], s[1], p[2], s[2], p[0], s[0], len); });
  return out;
}

// Broadcasts two arrays and applies `loop`; the error is the broadcast message.
template <class O, class T>
KResult<NdArray<O>> binary(const ArrayView<T>& a, const ArrayView<T>& b, loops::BinaryLoop loop) {
  if (a.shape == b.shape) return map2<O>(a.shape, a.data, a.strides, b.data, b.strides, loop);
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  const auto& [va, vb] = *views;
  return map2<O>(va.shape, va.data, va.strides, vb.data, vb.strides, loop);
}

// The same for two owned arrays, without building views when the shapes agree.
template <class O, class T>
KResult<NdArray<O>> binary(const NdArray<T>& a, const NdArray<T>& b, loops::BinaryLoop loop) {
  if (a.shape() == b.shape())
    return map2<O>(a.shape(), a.data(), a.strides(), b.data(), b.strides(), loop);
  return binary<O>(a.view(), b.view(), loop);
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
  return binary<T>(a, b, loops::table().arith[loop_index<T>()][static_cast<int>(op)]);
}

template <class T>
KResult<NdArray<Bool8>> compare(const NdArray<T>& a, const NdArray<T>& b, loops::Cmp op) {
  return binary<Bool8>(a, b, loops::table().cmp[loop_index<T>()][static_cast<int>(op)]);
}

// mul of two arrays (used by the multiplication gradient as well).
template <class T>
KResult<NdArray<T>> mul(const ArrayView<T>& a, const ArrayView<T>& b) {
  return binary<T>(a, b,
                   loops::table().arith[loop_index<T>()][static_cast<int>(loops::Arith::Mul)]);
}

}  // namespace norva::engine::cpu::numeric::ops
