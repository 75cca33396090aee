// Batched matrix product and its gradient: element-type checks and dispatch.
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& rhs) const {
  return dispatch_arith(*this, rhs, [](const auto& a, const auto& b) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(a)>::value_type;
    return wrap<T>(numeric::ops::matmul<T>(a.view(), b.view()));
  });
}

Result<StoragePair> CpuStorage::backward_matmul(const CpuStorage& grad,
                                                const CpuStorage& rhs) const {
  auto mismatch = [] {
    return type_error("DType mismatch between gradient and operands during backward pass.");
  };
  if (grad.dtype() == DType::Bool || dtype() != grad.dtype() || rhs.dtype() != grad.dtype())
    return mismatch();
  return visit(grad, [&](const auto& g) -> Result<StoragePair> {
    using T = typename std::remove_cvref_t<decltype(g)>::value_type;
    if constexpr (is_float_v<T>) {
      auto r = numeric::backward::matmul_backward<T>(g.view(), get_if<T>()->view(),
                                                     rhs.get_if<T>()->view());
      if (!r) return runtime_error(std::move(r.error()));
      return StoragePair{CpuStorage(std::move(r->first)), CpuStorage(std::move(r->second))};
    } else {
      return mismatch();
    }
  });
}

Result<CpuStorage> CpuStorage::backward_matmul_side(const CpuStorage& grad, const CpuStorage& rhs,
                                                    GradSide side) const {
  auto mismatch = [] {
    return type_error("DType mismatch between gradient and operands during backward pass.");
  };
  if (grad.dtype() == DType::Bool || dtype() != grad.dtype() || rhs.dtype() != grad.dtype())
    return mismatch();
  return visit(grad, [&](const auto& g) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(g)>::value_type;
    namespace nb = numeric::backward;
    if constexpr (is_float_v<T>) {
      if (side == GradSide::Lhs)
        return wrap<T>(nb::matmul_backward_lhs<T>(g.view(), rhs.get_if<T>()->view()));
      return wrap<T>(nb::matmul_backward_rhs<T>(g.view(), get_if<T>()->view()));
    } else {
      return mismatch();
    }
  });
}

}  // namespace norva::engine::cpu::storage
