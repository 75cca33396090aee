// Element-type dispatch of the storage operations, with their element-type checks in one place.
#pragma once

#include <string>
#include <type_traits>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace norva::engine::cpu::storage {

template <class T>
constexpr bool is_float_v =
    std::is_same_v<T, f16> || std::is_same_v<T, bf16> || std::is_same_v<T, float>;

// Wraps a kernel result (array or text error) as a storage result.
template <class T>
Result<CpuStorage> wrap(KResult<NdArray<T>>&& r) {
  if (!r) return runtime_error(std::move(r.error()));
  return Result<CpuStorage>(std::in_place, std::move(*r));
}

inline std::unexpected<Error> arith_mismatch(DType a, DType b) {
  return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                     std::string(dtype_name(a)) + " and " + std::string(dtype_name(b)) + ".");
}
inline std::unexpected<Error> bool_arith() {
  return type_error(
      "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
}

// Wraps a kernel's pair of gradients (left, right) as a pair of storages.
template <class T>
Result<StoragePair> wrap(KResult<std::pair<NdArray<T>, NdArray<T>>>&& r) {
  if (!r) return runtime_error(std::move(r.error()));
  return StoragePair{CpuStorage(std::move(r->first)), CpuStorage(std::move(r->second))};
}

inline std::unexpected<Error> grad_mismatch() {
  return type_error("DType mismatch between gradient and operands during backward pass.");
}

// Calls f(grad, lhs, rhs) with views of one float element type, dispatched on the gradient's, and
// wraps what it returns (one gradient or a pair). A Bool gradient or an operand of another type
// fails with the gradient mismatch message.
template <class F>
auto dispatch_grad(const CpuStorage& grad, const CpuStorage& lhs, const CpuStorage& rhs, F&& f)
    -> decltype(wrap(f(ArrayView<float>{}, ArrayView<float>{}, ArrayView<float>{}))) {
  using R = decltype(wrap(f(ArrayView<float>{}, ArrayView<float>{}, ArrayView<float>{})));
  if (grad.dtype() == DType::Bool || lhs.dtype() != grad.dtype() || rhs.dtype() != grad.dtype())
    return grad_mismatch();
  return visit(grad, [&](const auto& g) -> R {
    using T = typename std::remove_cvref_t<decltype(g)>::value_type;
    if constexpr (is_float_v<T>)
      return wrap(f(g.view(), lhs.get_if<T>()->view(), rhs.get_if<T>()->view()));
    else
      return grad_mismatch();
  });
}

// Calls f(const NdArray<T>& a, const NdArray<T>& b) for two float operands of one element type;
// Bool pairs and mixed pairs fail with the arithmetic messages.
template <class F>
Result<CpuStorage> dispatch_arith(const CpuStorage& a, const CpuStorage& b, F&& f) {
  DType da = a.dtype(), db = b.dtype();
  if (da != db) return arith_mismatch(da, db);
  if (da == DType::Bool) return bool_arith();
  return visit(a, [&](const auto& x) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(x)>::value_type;
    if constexpr (is_float_v<T>) {
      return f(x, *b.get_if<T>());
    } else {
      return bool_arith();
    }
  });
}

// Calls f(const NdArray<T>& a, const NdArray<T>& b) for two operands of one element type (any).
template <class F>
Result<CpuStorage> dispatch_same(const CpuStorage& a, const CpuStorage& b, F&& f) {
  return visit(a, [&](const auto& x) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(x)>::value_type;
    return f(x, *b.get_if<T>());
  });
}

}  // namespace norva::engine::cpu::storage
