// Operations of every element with one number. The number is rounded once to the element type;
// the result keeps the operand's shape and strides and is written in one linear pass over the
// dense buffer.
#pragma once

#include "engine/cpu/numeric/ops/binary.hpp"

namespace norva::engine::cpu::numeric::ops {

template <class T>
T round_scalar(float s) {
  return narrow<T>(s);
}

template <class O, class T>
NdArray<O> scalar_map(const NdArray<T>& a, float s, loops::BinaryLoop loop) {
  NdArray<O> out(a.shape(), a.strides());
  T v = round_scalar<T>(s);
  std::size_t n = a.numel();
  if (n) loop(a.data(), 1, &v, 0, out.data(), 1, n);
  return out;
}

template <class T>
NdArray<T> scalar_arith(const NdArray<T>& a, float s, loops::Arith op) {
  return scalar_map<T>(a, s, loops::table().arith[loop_index<T>()][static_cast<int>(op)]);
}

template <class T>
NdArray<Bool8> scalar_compare(const NdArray<T>& a, float s, loops::Cmp op) {
  return scalar_map<Bool8>(a, s, loops::table().cmp[loop_index<T>()][static_cast<int>(op)]);
}

}  // namespace norva::engine::cpu::numeric::ops
