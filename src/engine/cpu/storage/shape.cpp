// zeros_like, ones_like, reshape and transpose.
#include "engine/cpu/numeric/ops/unary.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

namespace {
template <class T>
T one();
template <>
f16 one<f16>() {
  return f16{0x3C00};
}
template <>
bf16 one<bf16>() {
  return bf16{0x3F80};
}
template <>
float one<float>() {
  return 1.0f;
}
template <>
Bool8 one<Bool8>() {
  return Bool8{1};
}
}  // namespace

CpuStorage CpuStorage::zeros_like() const {
  return visit(*this, [](const auto& a) {
    using T = typename std::remove_cvref_t<decltype(a)>::value_type;
    return CpuStorage(NdArray<T>::filled(a.shape(), T{}));
  });
}

CpuStorage CpuStorage::ones_like() const {
  return visit(*this, [](const auto& a) {
    using T = typename std::remove_cvref_t<decltype(a)>::value_type;
    return CpuStorage(NdArray<T>::filled(a.shape(), one<T>()));
  });
}

Result<CpuStorage> CpuStorage::reshape(std::span<const std::size_t> shape) const {
  auto count = checked_numel(shape);
  if (!count || *count != numel())
    return value_error("Error while reshape: cannot reshape array of shape " +
                       shape_str(this->shape()) + " (" + std::to_string(numel()) +
                       " elements) into shape " + shape_str(shape) + ": incompatible shapes");
  return visit(*this, [&](const auto& a) -> Result<CpuStorage> {
    // A row-major operand keeps its buffer order; any other layout is copied in logical
    // row-major order, so the result is always row-major.
    auto out = is_row_major(a.shape(), a.strides()) ? a.clone()
                                                    : numeric::ops::copy_to_row_major(a.view());
    Shape s(shape);
    Strides st = row_major_strides(s);
    out.set_layout(std::move(s), std::move(st));
    return CpuStorage(std::move(out));
  });
}

Result<CpuStorage> CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
  std::size_t n = ndim();
  if (dim0 >= n || dim1 >= n) {
    std::size_t bad = dim0 >= n ? dim0 : dim1;
    return fail(ErrorKind::Index, "Dimension out of range: cannot transpose axis " +
                                      std::to_string(bad) + " of a tensor with " +
                                      std::to_string(n) + " dimensions");
  }
  return visit(*this, [&](const auto& a) -> Result<CpuStorage> {
    auto out = a.clone();
    Shape s = a.shape();
    Strides st = a.strides();
    std::swap(s[dim0], s[dim1]);
    std::swap(st[dim0], st[dim1]);
    out.set_layout(std::move(s), std::move(st));
    return CpuStorage(std::move(out));
  });
}

}  // namespace norva::engine::cpu::storage
