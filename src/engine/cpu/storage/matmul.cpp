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
  return dispatch_grad(grad, *this, rhs, [](const auto& g, const auto& a, const auto& b) {
    return numeric::backward::matmul_backward(g, a, b);
  });
}

Result<CpuStorage> CpuStorage::backward_matmul_side(const CpuStorage& grad, const CpuStorage& rhs,
                                                    GradSide side) const {
  return dispatch_grad(grad, *this, rhs, [side](const auto& g, const auto& a, const auto& b) {
    return side == GradSide::Lhs ? numeric::backward::matmul_backward_lhs(g, b)
                                 : numeric::backward::matmul_backward_rhs(g, a);
  });
}

}  // namespace norva::engine::cpu::storage
