// Batched matrix product. Operands are [batch..., m, k] and [batch..., k, n] with batch prefixes
// that broadcast; the result is a new row-major [batch..., m, n] array.
//
// Every product runs in binary32 through one GEMM kernel (OpenBLAS sgemm, on the calling thread),
// or through a small register kernel for very small matrices. Operands go to the kernel with
// their own strides: transposed and sliced matrices are passed with a leading dimension and a
// transpose flag, broadcast batch axes (stride 0) read the same matrix again. Only a matrix whose
// rows and columns both have a non-unit step is packed into a temporary. 16-bit operands are
// widened to binary32, multiplied once and each output element rounded once.
#pragma once

#include <type_traits>

#include "engine/cpu/array.hpp"
#include "engine/cpu/elements.hpp"
#include "util/error.hpp"

namespace norva::engine::cpu::numeric::ops {

// A · B for binary32 operands of at least two axes each, batch prefixes broadcast.
KResult<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a,
                                               const ArrayView<float>& b);

// Fills `out` ([batch..., m, n]) with a[i] · b[i] for every batch index. All three views have the
// same number of axes and the same batch extents (broadcast axes with stride 0); a is m×k and b
// is k×n. Batch axes that step together are walked as one loop.
KResult<void> batched_matmul_recursive(const MutView<float>& out, const ArrayView<float>& a,
                                       const ArrayView<float>& b);

// The product of 16-bit operands: both widened to binary32, one binary32 product, each output
// element narrowed once (nearest, ties to even).
template <class T>
struct MatmulOps;

template <>
struct MatmulOps<f16> {
  static KResult<NdArray<f16>> do_matmul(const ArrayView<f16>& a, const ArrayView<f16>& b);
};

template <>
struct MatmulOps<bf16> {
  static KResult<NdArray<bf16>> do_matmul(const ArrayView<bf16>& a, const ArrayView<bf16>& b);
};

// The product for any float element type: internal_linalg_matmul for binary32, do_matmul for the
// 16-bit types.
template <class T>
KResult<NdArray<T>> matmul(const ArrayView<T>& a, const ArrayView<T>& b) {
  if constexpr (std::is_same_v<T, float>)
    return internal_linalg_matmul(a, b);
  else
    return MatmulOps<T>::do_matmul(a, b);
}

}  // namespace norva::engine::cpu::numeric::ops
