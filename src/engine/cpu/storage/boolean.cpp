// Logical operations on Bool storages.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/unary.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

namespace {
Result<CpuStorage> logical(const CpuStorage& a, const CpuStorage& b, loops::Logic op) {
  const auto* x = a.get_if<Bool8>();
  const auto* y = b.get_if<Bool8>();
  if (!x || !y) return runtime_error("Logical operations are only supported for Bool data types.");
  return wrap(numeric::ops::binary<Bool8>(*x, *y, loops::table().logic[static_cast<int>(op)]));
}
}  // namespace

Result<CpuStorage> CpuStorage::logical_and(const CpuStorage& rhs) const {
  return logical(*this, rhs, loops::Logic::And);
}
Result<CpuStorage> CpuStorage::logical_or(const CpuStorage& rhs) const {
  return logical(*this, rhs, loops::Logic::Or);
}
Result<CpuStorage> CpuStorage::logical_xor(const CpuStorage& rhs) const {
  return logical(*this, rhs, loops::Logic::Xor);
}

Result<CpuStorage> CpuStorage::logical_not() const {
  const auto* x = get_if<Bool8>();
  if (!x) return runtime_error("Logical NOT is only supported for Bool data type.");
  return CpuStorage(numeric::ops::map_dense<Bool8>(
      *x, [](Bool8 v) { return Bool8{static_cast<std::uint8_t>(v.v ^ 1u)}; }));
}

}  // namespace norva::engine::cpu::storage
