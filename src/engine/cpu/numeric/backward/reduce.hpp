// Summing a gradient over broadcast axes down to an operand's shape.
#pragma once

#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/numeric/ops/unary.hpp"

namespace norva::engine::cpu::numeric::backward {

// `target` must broadcast to g's shape. Leading axes g has beyond target are summed away, axes
// where target has extent 1 are summed and kept; 16-bit values accumulate in binary32 and round
// once per output element.
template <class T>
KResult<NdArray<T>> sum_to_shape(const ArrayView<T>& g, std::span<const std::size_t> target) {
  std::size_t n = g.shape.size();
  if (target.size() > n) return kfail("Gradient of shape " + shape_str(g.shape) + " cannot be reduced to " + shape_str(target));
  std::size_t lead = n - target.size();
  for (std::size_t i = 0; i < target.size(); ++i)
    if (target[i] != g.shape[lead + i] && target[i] != 1)
      return kfail("Gradient of shape " + shape_str(g.shape) + " cannot be reduced to " + shape_str(target));
  Shape tshape(target);
  NdArray<float> acc = NdArray<float>::filled(tshape, 0.0f);
  // The accumulator viewed at g's shape: stride 0 on every summed axis.
  Strides as = ops::broadcast_strides(tshape, acc.strides(), g.shape);
  // Walk with g first so its memory order drives the loop.
  auto plan = make_plan<2>(g.shape, {g.strides.span(), as.span()});
  run_plan<2>(plan,
              {reinterpret_cast<char*>(const_cast<T*>(g.data)), reinterpret_cast<char*>(acc.data())},
              {sizeof(T), sizeof(float)},
              [](const std::array<char*, 2>& p, const std::array<std::ptrdiff_t, 2>& s, std::size_t len) {
                const T* x = reinterpret_cast<const T*>(p[0]);
                float* o = reinterpret_cast<float*>(p[1]);
                if (s[1] == 0) {
                  float sum = *o;
                  for (std::size_t i = 0; i < len; ++i) sum += widen(x[static_cast<std::ptrdiff_t>(i) * s[0]]);
                  *o = sum;
                } else {
                  for (std::size_t i = 0; i < len; ++i) {
                    std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
                    o[k * s[1]] += widen(x[k * s[0]]);
                  }
                }
              });
  if constexpr (std::is_same_v<T, float>) {
    return acc;
  } else {
    NdArray<T> out = NdArray<T>::row_major(tshape);
    for (std::size_t i = 0; i < out.numel(); ++i) out.data()[i] = narrow<T>(acc.data()[i]);
    return out;
  }
}

}  // namespace norva::engine::cpu::numeric::backward
