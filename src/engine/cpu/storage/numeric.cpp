// Element-wise arithmetic, comparisons and operations with a number.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

namespace ops = numeric::ops;
using loops::Arith;
using loops::Cmp;

namespace {

Result<CpuStorage> arith(const CpuStorage& a, const CpuStorage& b, Arith op) {
  return dispatch_arith(a, b,
                        [op](const auto& x, const auto& y) { return wrap(ops::arith(x, y, op)); });
}

const char* cmp_symbol(Cmp op) {
  switch (op) {
    case Cmp::Eq:
      return "==";
    case Cmp::Ne:
      return "!=";
    case Cmp::Lt:
      return "<";
    case Cmp::Le:
      return "<=";
    case Cmp::Gt:
      return ">";
    case Cmp::Ge:
      return ">=";
    default:
      return "?";
  }
}

Result<CpuStorage> compare(const CpuStorage& a, const CpuStorage& b, Cmp op) {
  if (a.dtype() != b.dtype())
    return runtime_error(std::string("Tensor device or dtype mismatch for element-wise ") +
                         cmp_symbol(op) + " operation.");
  return dispatch_same(a, b,
                       [op](const auto& x, const auto& y) { return wrap(ops::compare(x, y, op)); });
}

Result<CpuStorage> scalar_arith(const CpuStorage& a, float s, Arith op, const char* what) {
  if (a.dtype() == DType::Bool)
    return value_error(std::string("Tensor DType invalid during scalar ") + what +
                       ". Cannot operate between Bool and scalar.");
  return visit(a, [&](const auto& x) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(x)>::value_type;
    if constexpr (is_float_v<T>)
      return CpuStorage(ops::scalar_arith(x, s, op));
    else
      return internal_error("unreachable: Bool scalar arithmetic");
  });
}

Result<CpuStorage> scalar_compare(const CpuStorage& a, float s, Cmp op) {
  if (a.dtype() == DType::Bool)
    return runtime_error(std::string("Tensor device or dtype mismatch for scalar ") +
                         cmp_symbol(op) + " operation.");
  return visit(a, [&](const auto& x) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(x)>::value_type;
    if constexpr (is_float_v<T>)
      return CpuStorage(ops::scalar_compare(x, s, op));
    else
      return internal_error("unreachable: Bool scalar comparison");
  });
}

}  // namespace

Result<CpuStorage> CpuStorage::add(const CpuStorage& rhs) const {
  return arith(*this, rhs, Arith::Add);
}
Result<CpuStorage> CpuStorage::sub(const CpuStorage& rhs) const {
  return arith(*this, rhs, Arith::Sub);
}
Result<CpuStorage> CpuStorage::mul(const CpuStorage& rhs) const {
  return arith(*this, rhs, Arith::Mul);
}
Result<CpuStorage> CpuStorage::div(const CpuStorage& rhs) const {
  return arith(*this, rhs, Arith::Div);
}
Result<CpuStorage> CpuStorage::eq(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Eq);
}
Result<CpuStorage> CpuStorage::ne(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Ne);
}
Result<CpuStorage> CpuStorage::ge(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Ge);
}
Result<CpuStorage> CpuStorage::gt(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Gt);
}
Result<CpuStorage> CpuStorage::le(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Le);
}
Result<CpuStorage> CpuStorage::lt(const CpuStorage& rhs) const {
  return compare(*this, rhs, Cmp::Lt);
}

Result<CpuStorage> CpuStorage::scalar_add(float s) const {
  return scalar_arith(*this, s, Arith::Add, "add");
}
Result<CpuStorage> CpuStorage::scalar_sub(float s) const {
  return scalar_arith(*this, s, Arith::Sub, "sub");
}
Result<CpuStorage> CpuStorage::scalar_mul(float s) const {
  return scalar_arith(*this, s, Arith::Mul, "product");
}
Result<CpuStorage> CpuStorage::scalar_eq(float s) const {
  return scalar_compare(*this, s, Cmp::Eq);
}
Result<CpuStorage> CpuStorage::scalar_ne(float s) const {
  return scalar_compare(*this, s, Cmp::Ne);
}
Result<CpuStorage> CpuStorage::scalar_ge(float s) const {
  return scalar_compare(*this, s, Cmp::Ge);
}
Result<CpuStorage> CpuStorage::scalar_gt(float s) const {
  return scalar_compare(*this, s, Cmp::Gt);
}
Result<CpuStorage> CpuStorage::scalar_le(float s) const {
  return scalar_compare(*this, s, Cmp::Le);
}
Result<CpuStorage> CpuStorage::scalar_lt(float s) const {
  return scalar_compare(*this, s, Cmp::Lt);
}

}  // namespace norva::engine::cpu::storage
