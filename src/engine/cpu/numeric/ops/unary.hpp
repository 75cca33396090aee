// One-operand walks: a strided copy into a new layout, and element maps over a dense buffer.
#pragma once

#include <cstring>

#include "engine/cpu/elements.hpp"
#include "engine/cpu/walk.hpp"

namespace norva::engine::cpu::numeric::ops {

// Runs f(out_ptr, out_stride, in_ptr, in_stride, n) over `in` viewed at out's shape.
template <class O, class T, class F>
void walk2(NdArray<O>& out, const ArrayView<T>& in, F&& f) {
  if (out.numel() == 0) return;
  auto plan = make_plan<2>(out.shape(), {out.strides().span(), in.strides.span()});
  run_plan<2>(
      plan, {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<T*>(in.data))},
      {sizeof(O), sizeof(T)},
      [&](const std::array<char*, 2>& p, const std::array<std::ptrdiff_t, 2>& s, std::size_t n) {
        f(reinterpret_cast<O*>(p[0]), s[0], reinterpret_cast<const T*>(p[1]), s[1], n);
      });
}

// A new array of `in`'s shape with the given strides, holding in's elements.
template <class T>
NdArray<T> copy_to_layout(const ArrayView<T>& in, Strides strides) {
  NdArray<T> out(in.shape, std::move(strides));
  walk2(out, in, [](T* o, std::ptrdiff_t so, const T* x, std::ptrdiff_t sx, std::size_t n) {
    if (so == 1 && sx == 1) {
      std::memcpy(o, x, n * sizeof(T));
    } else {
      for (std::size_t i = 0; i < n; ++i)
        o[static_cast<std::ptrdiff_t>(i) * so] = x[static_cast<std::ptrdiff_t>(i) * sx];
    }
  });
  return out;
}

template <class T>
NdArray<T> copy_to_row_major(const ArrayView<T>& in) {
  return copy_to_layout(in, row_major_strides(in.shape));
}

// out[i] = f(in[i]) over the dense buffer; the result keeps the operand's layout.
template <class O, class T, class F>
NdArray<O> map_dense(const NdArray<T>& a, F&& f) {
  NdArray<O> out(a.shape(), a.strides());
  const T* x = a.data();
  O* o = out.data();
  for (std::size_t i = 0, n = a.numel(); i < n; ++i) o[i] = f(x[i]);
  return out;
}

}  // namespace norva::engine::cpu::numeric::ops
