// CpuStorage: one dense n-dimensional array of one element type, and every data operation of the
// engine. The variant index is the element type's code (F16, BF16, F32, Bool).
//
// Operations never change an operand: each returns a new CpuStorage or an Error naming the Python
// exception kind. Their definitions are grouped by role: api.cpp (construction from NumPy),
// shape.cpp, numeric.cpp, boolean.cpp, backward.cpp and functional.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/cpu/array.hpp"
#include "engine/cpu/elements.hpp"
#include "util/error.hpp"

typedef struct _object PyObject;

namespace norva::engine::cpu::storage {

enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// "F16", "BF16", "F32", "Bool": the names used in messages.
std::string_view dtype_name(DType d);
// "f16", "bf16", "f32", "bool": the names the dtype property reports.
std::string_view dtype_lower_name(DType d);

template <class T>
struct DTypeOf;
template <>
struct DTypeOf<f16> {
  static constexpr DType value = DType::F16;
};
template <>
struct DTypeOf<bf16> {
  static constexpr DType value = DType::BF16;
};
template <>
struct DTypeOf<float> {
  static constexpr DType value = DType::F32;
};
template <>
struct DTypeOf<Bool8> {
  static constexpr DType value = DType::Bool;
};

class CpuStorage;
using StoragePair = std::pair<CpuStorage, CpuStorage>;

// One operand of a two-operand gradient.
enum class GradSide : std::uint8_t { Lhs, Rhs };

class CpuStorage {
 public:
  using Variant = std::variant<NdArray<f16>, NdArray<bf16>, NdArray<float>, NdArray<Bool8>>;

  template <class T>
  CpuStorage(NdArray<T> a) : v_(std::move(a)) {}

  DType dtype() const { return static_cast<DType>(v_.index()); }
  const Variant& variant() const { return v_; }
  const Shape& shape() const {
    return std::visit([](const auto& a) -> const Shape& { return a.shape(); }, v_);
  }
  const Strides& strides() const {
    return std::visit([](const auto& a) -> const Strides& { return a.strides(); }, v_);
  }
  std::size_t ndim() const { return shape().size(); }
  std::size_t numel() const {
    return std::visit([](const auto& a) { return a.numel(); }, v_);
  }
  const void* raw_data() const {
    return std::visit([](const auto& a) -> const void* { return a.data(); }, v_);
  }
  template <class T>
  const NdArray<T>* get_if() const {
    return std::get_if<NdArray<T>>(&v_);
  }
  // A deep copy (same element type, layout and values).
  CpuStorage clone() const {
    return std::visit([](const auto& a) { return CpuStorage(a.clone()); }, v_);
  }

  // api.cpp: construction from a NumPy array (the caller holds the interpreter lock).
  static Result<CpuStorage> from_numpy(PyObject* array, std::string_view dtype);

  // shape.cpp
  CpuStorage zeros_like() const;
  CpuStorage ones_like() const;
  Result<CpuStorage> reshape(std::span<const std::size_t> shape) const;
  Result<CpuStorage> transpose(std::size_t dim0, std::size_t dim1) const;

  // numeric.cpp: element-wise arithmetic and comparisons with broadcasting.
  Result<CpuStorage> add(const CpuStorage& rhs) const;
  Result<CpuStorage> sub(const CpuStorage& rhs) const;
  Result<CpuStorage> mul(const CpuStorage& rhs) const;
  Result<CpuStorage> div(const CpuStorage& rhs) const;
  Result<CpuStorage> eq(const CpuStorage& rhs) const;
  Result<CpuStorage> ne(const CpuStorage& rhs) const;
  Result<CpuStorage> ge(const CpuStorage& rhs) const;
  Result<CpuStorage> gt(const CpuStorage& rhs) const;
  Result<CpuStorage> le(const CpuStorage& rhs) const;
  Result<CpuStorage> lt(const CpuStorage& rhs) const;
  // numeric.cpp: operations with a number (rounded once to the element type).
  Result<CpuStorage> scalar_add(float s) const;
  Result<CpuStorage> scalar_sub(float s) const;
  Result<CpuStorage> scalar_mul(float s) const;
  Result<CpuStorage> scalar_eq(float s) const;
  Result<CpuStorage> scalar_ne(float s) const;
  Result<CpuStorage> scalar_ge(float s) const;
  Result<CpuStorage> scalar_gt(float s) const;
  Result<CpuStorage> scalar_le(float s) const;
  Result<CpuStorage> scalar_lt(float s) const;
  // numeric.cpp: batched matrix product.
  Result<CpuStorage> matmul(const CpuStorage& rhs) const;

  // boolean.cpp
  Result<CpuStorage> logical_and(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_or(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_xor(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_not() const;

  // functional.cpp
  Result<CpuStorage> relu() const;

  // backward.cpp: gradient kernels, called on the left operand (or the rectifier's input).
  Result<CpuStorage> backward_relu(const CpuStorage& grad) const;
  Result<StoragePair> backward_mul(const CpuStorage& grad, const CpuStorage& rhs) const;
  Result<StoragePair> backward_div(const CpuStorage& grad, const CpuStorage& rhs) const;
  Result<StoragePair> backward_matmul(const CpuStorage& grad, const CpuStorage& rhs) const;
  // Only one of the two matrix-product gradients (grad · rhsᵀ or lhsᵀ · grad).
  Result<CpuStorage> backward_matmul_side(const CpuStorage& grad, const CpuStorage& rhs,
                                          GradSide side) const;
  // Sums a gradient over broadcast axes down to `shape` (leading axes dropped, extent-1 axes
  // kept); 16-bit sums accumulate in binary32 and round once.
  Result<CpuStorage> sum_to_shape(std::span<const std::size_t> shape) const;

 private:
  Variant v_;
};

// Calls f(NdArray<T>&) for the storage's element type.
template <class F>
decltype(auto) visit(const CpuStorage& s, F&& f) {
  return std::visit(std::forward<F>(f), s.variant());
}

}  // namespace norva::engine::cpu::storage
