// Gradient kernels: element-type checks and dispatch.
#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/reduce.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

namespace nb = numeric::backward;

Result<StoragePair> CpuStorage::backward_mul(const CpuStorage& grad, const CpuStorage& rhs) const {
  return dispatch_grad(grad, *this, rhs, [](const auto& g, const auto& a, const auto& b) {
    return nb::mul_backward(g, a, b);
  });
}

Result<StoragePair> CpuStorage::backward_div(const CpuStorage& grad, const CpuStorage& rhs) const {
  return dispatch_grad(grad, *this, rhs, [](const auto& g, const auto& a, const auto& b) {
    return nb::div_backward(g, a, b);
  });
}

Result<CpuStorage> CpuStorage::backward_relu(const CpuStorage& grad) const {
  if (grad.dtype() == DType::Bool || dtype() != grad.dtype())
    return type_error("DType mismatch between gradient and input during unary backward pass.");
  return visit(grad, [&](const auto& g) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(g)>::value_type;
    if constexpr (is_float_v<T>)
      return wrap(nb::relu_backward(g.view(), get_if<T>()->view()));
    else
      return internal_error("unreachable: Bool gradient");
  });
}

Result<CpuStorage> CpuStorage::sum_to_shape(std::span<const std::size_t> shape) const {
  return visit(*this, [&](const auto& g) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(g)>::value_type;
    if constexpr (is_float_v<T>)
      return wrap(nb::sum_to_shape(g.view(), shape));
    else
      return type_error("Gradients of Bool tensors cannot be summed.");
  });
}

}  // namespace norva::engine::cpu::storage
