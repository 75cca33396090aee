// Summing a gradient over broadcast axes down to an operand's shape.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/cpu/loops/loops.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/numeric/ops/unary.hpp"

namespace norva::engine::cpu::numeric::backward {

namespace reduce_detail {

// 16-bit runs are widened in blocks of this many elements (a stack buffer).
constexpr std::size_t kBlock = 512;
constexpr std::size_t kLanes = 8;

// o[i * so] += x[i] for m dense binary32 values.
inline void add_run(float* __restrict o, std::ptrdiff_t so, const float* __restrict x,
                    std::size_t m) {
  if (so == 1) {
    std::size_t i = 0;
    for (; i + kLanes <= m; i += kLanes)
      for (std::size_t j = 0; j < kLanes; ++j) o[i + j] += x[i + j];
    for (; i < m; ++i) o[i] += x[i];
  } else {
    for (std::size_t i = 0; i < m; ++i) o[static_cast<std::ptrdiff_t>(i) * so] += x[i];
  }
}

// The sum of m binary32 values x[i * sx], in eight interleaved partial sums (independent
// additions pipeline, and the error grows with m / 8 instead of m).
inline float sum_run(const float* x, std::ptrdiff_t sx, std::size_t m) {
  float p[kLanes] = {};
  std::size_t i = 0;
  if (sx == 1) {
    for (; i + kLanes <= m; i += kLanes)
      for (std::size_t j = 0; j < kLanes; ++j) p[j] += x[i + j];
  } else {
    for (; i + kLanes <= m; i += kLanes)
      for (std::size_t j = 0; j < kLanes; ++j) p[j] += x[static_cast<std::ptrdiff_t>(i + j) * sx];
  }
  for (; i < m; ++i) p[0] += x[static_cast<std::ptrdiff_t>(i) * sx];
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

template <class T>
void widen_block(const T* x, std::ptrdiff_t sx, float* out, std::size_t m) {
  if (sx == 1) {
    const auto* bits = reinterpret_cast<const std::uint16_t*>(x);
    if constexpr (std::is_same_v<T, f16>)
      loops::widen_f16(bits, out, m);
    else
      loops::widen_bf16(bits, out, m);
  } else {
    for (std::size_t i = 0; i < m; ++i) out[i] = widen(x[static_cast<std::ptrdiff_t>(i) * sx]);
  }
}

// Adds one run of n gradient elements (stride sx) into the binary32 accumulator: into one
// element when so is 0 (the run lies along a summed axis), element by element otherwise.
template <class T>
void reduce_run(const T* x, std::ptrdiff_t sx, float* o, std::ptrdiff_t so, std::size_t n) {
  if constexpr (std::is_same_v<T, float>) {
    if (so == 0) {
      *o += sum_run(x, sx, n);
    } else if (sx == 1) {
      add_run(o, so, x, n);
    } else {
      for (std::size_t i = 0; i < n; ++i)
        o[static_cast<std::ptrdiff_t>(i) * so] += x[static_cast<std::ptrdiff_t>(i) * sx];
    }
  } else {
    float buf[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
      std::size_t m = n - start < kBlock ? n - start : kBlock;
      auto at = static_cast<std::ptrdiff_t>(start);
      widen_block(x + at * sx, sx, buf, m);
      if (so == 0)
        *o += sum_run(buf, 1, m);
      else
        add_run(o + at * so, so, buf, m);
    }
  }
}

}  // namespace reduce_detail

// `target` must broadcast to g's shape. Leading axes g has beyond target are summed away, axes
// where target has extent 1 are summed and kept; 16-bit values accumulate in binary32 and round
// once per output element.
template <class T>
KResult<NdArray<T>> sum_to_shape(const ArrayView<T>& g, std::span<const std::size_t> target) {
  std::size_t n = g.shape.size();
  if (target.size() > n)
    return kfail("Gradient of shape " + shape_str(g.shape) + " cannot be reduced to " +
                 shape_str(target));
  std::size_t lead = n - target.size();
  for (std::size_t i = 0; i < target.size(); ++i)
    if (target[i] != g.shape[lead + i] && target[i] != 1)
      return kfail("Gradient of shape " + shape_str(g.shape) + " cannot be reduced to " +
                   shape_str(target));
  Shape tshape(target);
  NdArray<float> acc = NdArray<float>::filled(tshape, 0.0f);
  // The accumulator viewed at g's shape: stride 0 on every summed axis.
  Strides as = ops::broadcast_strides(tshape, acc.strides(), g.shape);
  // Walk with g first so its memory order drives the loop.
  auto plan = make_plan<2>(g.shape, {g.strides.span(), as.span()});
  run_plan<2>(
      plan, {reinterpret_cast<char*>(const_cast<T*>(g.data)), reinterpret_cast<char*>(acc.data())},
      {sizeof(T), sizeof(float)},
      [](const std::array<char*, 2>& p, const std::array<std::ptrdiff_t, 2>& s, std::size_t len) {
        reduce_detail::reduce_run(reinterpret_cast<const T*>(p[0]), s[0],
                                  reinterpret_cast<float*>(p[1]), s[1], len);
      });
  if constexpr (std::is_same_v<T, float>) {
    return acc;
  } else {
    NdArray<T> out = NdArray<T>::row_major(tshape);
    auto* bits = reinterpret_cast<std::uint16_t*>(out.data());
    if constexpr (std::is_same_v<T, f16>)
      loops::narrow_f16(acc.data(), bits, out.numel());
    else
      loops::narrow_bf16(acc.data(), bits, out.numel());
    return out;
  }
}

}  // namespace norva::engine::cpu::numeric::backward
