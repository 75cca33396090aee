// The core tensor value and every operation on it.
//
// A Tensor is an optional node reference, a shared handle to its immutable storage and the
// requires_grad flag (true exactly when the node reference is present). Operations return new
// tensors; the differentiable ones first record a backward node on the calling thread's tape when
// an operand requires gradients, then compute the result storage.
#pragma once

#include <optional>
#include <span>

#include "autograd/graph.hpp"
#include "tensor/storage.hpp"
#include "util/error.hpp"

namespace norva::tensor {

using autograd::NodeRef;

struct Tensor {
  std::optional<NodeRef> node;
  StorageRef storage;
  bool requires_grad = false;

  const CpuStorage& cpu() const { return storage->cpu(); }

  // A leaf built from data: registered on the tape when it requires gradients.
  static Result<Tensor> leaf(CpuStorage data, bool requires_grad);

  // Recorded when an operand requires gradients.
  static Result<Tensor> add(const Tensor& a, const Tensor& b);
  static Result<Tensor> sub(const Tensor& a, const Tensor& b);
  static Result<Tensor> mul(const Tensor& a, const Tensor& b);
  static Result<Tensor> div(const Tensor& a, const Tensor& b);
  static Result<Tensor> matmul(const Tensor& a, const Tensor& b);
  static Result<Tensor> scalar_add(const Tensor& a, float s);
  static Result<Tensor> scalar_sub(const Tensor& a, float s);
  static Result<Tensor> scalar_mul(const Tensor& a, float s);
  static Result<Tensor> scalar_div(const Tensor& a, float s);
  // s / a, element by element: the division of a tensor filled with s by a.
  static Result<Tensor> scalar_rdiv(float s, const Tensor& a);
  static Result<Tensor> reshape(const Tensor& a, std::span<const std::size_t> shape);
  static Result<Tensor> transpose(const Tensor& a, std::size_t dim0, std::size_t dim1);
  static Result<Tensor> relu(const Tensor& a);

  // Never recorded.
  static Result<Tensor> eq(const Tensor& a, const Tensor& b);
  static Result<Tensor> ne(const Tensor& a, const Tensor& b);
  static Result<Tensor> ge(const Tensor& a, const Tensor& b);
  static Result<Tensor> gt(const Tensor& a, const Tensor& b);
  static Result<Tensor> le(const Tensor& a, const Tensor& b);
  static Result<Tensor> lt(const Tensor& a, const Tensor& b);
  static Result<Tensor> scalar_eq(const Tensor& a, float s);
  static Result<Tensor> scalar_ne(const Tensor& a, float s);
  static Result<Tensor> scalar_ge(const Tensor& a, float s);
  static Result<Tensor> scalar_gt(const Tensor& a, float s);
  static Result<Tensor> scalar_le(const Tensor& a, float s);
  static Result<Tensor> scalar_lt(const Tensor& a, float s);
  static Result<Tensor> logical_and(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_or(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_xor(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_not(const Tensor& a);
  static Tensor zeros_like(const Tensor& a);
  static Tensor ones_like(const Tensor& a);
};

// The error for a tensor whose node belongs to a cleared graph or to another thread's tape.
std::unexpected<Error> stale_graph_error();

}  // namespace norva::tensor
