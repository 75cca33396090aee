// Gradient of the rectifier: the output gradient where the input is above +0, +0 elsewhere.
#pragma once

#include "engine/cpu/numeric/ops/binary.hpp"

namespace norva::engine::cpu::numeric::backward {

template <class T>
bool relu_passes(T x) {
  if constexpr (std::is_same_v<T, float>)
    return x > 0.0f;
  else if constexpr (std::is_same_v<T, f16>)
    return !(x.bits & 0x8000u) && (x.bits & 0x7FFFu) != 0 && (x.bits & 0x7FFFu) <= 0x7C00u;
  else
    return !(x.bits & 0x8000u) && (x.bits & 0x7FFFu) != 0 && (x.bits & 0x7FFFu) <= 0x7F80u;
}

template <class T>
KResult<NdArray<T>> relu_backward(const ArrayView<T>& grad, const ArrayView<T>& input) {
  if (!(grad.shape == input.shape))
    return kfail("Shape mismatch in relu_backward: grad " + shape_str(grad.shape) + " vs input " +
                 shape_str(input.shape));
  Strides os = two_operand_result_strides(grad.shape, grad.strides, input.strides);
  NdArray<T> out(grad.shape, std::move(os));
  if (out.numel() == 0) return out;
  auto plan =
      make_plan<3>(grad.shape, {out.strides().span(), grad.strides.span(), input.strides.span()});
  run_plan<3>(
      plan,
      {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<T*>(grad.data)),
       reinterpret_cast<char*>(const_cast<T*>(input.data))},
      {sizeof(T), sizeof(T), sizeof(T)},
      [](const std::array<char*, 3>& p, const std::array<std::ptrdiff_t, 3>& s, std::size_t n) {
        T* o = reinterpret_cast<T*>(p[0]);
        const T* g = reinterpret_cast<const T*>(p[1]);
        const T* x = reinterpret_cast<const T*>(p[2]);
        for (std::size_t i = 0; i < n; ++i) {
          std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
          o[k * s[0]] = relu_passes(x[k * s[2]]) ? g[k * s[1]] : T{};
        }
      });
  return out;
}

}  // namespace norva::engine::cpu::numeric::backward
