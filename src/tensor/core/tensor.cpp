#include "tensor/core/tensor.hpp"

#include <utility>

#include "autograd/ops.hpp"
#include "autograd/record.hpp"

namespace norva::tensor {

namespace ops = autograd::ops;
using autograd::record;

namespace {

Tensor plain(CpuStorage s) {
  return Tensor{std::nullopt, StorageRef::make(std::move(s)), false};
}

Result<Tensor> finish(std::optional<NodeRef> node, Result<CpuStorage>&& r) {
  if (!r) return std::unexpected(std::move(r.error()));
  bool rg = node.has_value();
  return Tensor{node, StorageRef::make(std::move(*r)), rg};
}

Result<Tensor> unrecorded(Result<CpuStorage>&& r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return plain(std::move(*r));
}

// Records a two-operand node when either operand requires gradients, then computes.
template <class Node, class Compute>
Result<Tensor> binary(const Tensor& a, const Tensor& b, Compute&& compute) {
  std::optional<NodeRef> node;
  if (a.requires_grad || b.requires_grad) {
    auto id = record({&a, &b}, [&](std::span<const autograd::NodeId> ids) {
      return std::make_unique<Node>(a, b, ids[0], ids[1]);
    });
    if (!id) return std::unexpected(std::move(id.error()));
    node = *id;
  }
  return finish(node, compute(a.cpu(), b.cpu()));
}

template <class Node, class Compute, class... Saved>
Result<Tensor> unary(const Tensor& a, Compute&& compute, Saved&&... saved) {
  std::optional<NodeRef> node;
  if (a.requires_grad) {
    auto id = record({&a}, [&](std::span<const autograd::NodeId> ids) {
      return std::make_unique<Node>(a, ids[0], saved...);
    });
    if (!id) return std::unexpected(std::move(id.error()));
    node = *id;
  }
  return finish(node, compute(a.cpu()));
}

}  // namespace

std::unexpected<Error> stale_graph_error() {
  return runtime_error(
      "This tensor's graph is gone: it was recorded before Tensor.clear_graph() or on another "
      "thread's tape, so it cannot be differentiated or take part in recorded operations here.");
}

Result<Tensor> Tensor::leaf(CpuStorage data, bool requires_grad) {
  std::optional<NodeRef> node;
  if (requires_grad) {
    auto id = autograd::push_leaf();
    if (!id) return std::unexpected(std::move(id.error()));
    node = *id;
  }
  return Tensor{node, StorageRef::make(std::move(data)), requires_grad};
}

Result<Tensor> Tensor::add(const Tensor& a, const Tensor& b) {
  return binary<ops::AddNode>(a, b,
                              [](const CpuStorage& x, const CpuStorage& y) { return x.add(y); });
}
Result<Tensor> Tensor::sub(const Tensor& a, const Tensor& b) {
  return binary<ops::SubNode>(a, b,
                              [](const CpuStorage& x, const CpuStorage& y) { return x.sub(y); });
}
Result<Tensor> Tensor::mul(const Tensor& a, const Tensor& b) {
  return binary<ops::MulNode>(a, b,
                              [](const CpuStorage& x, const CpuStorage& y) { return x.mul(y); });
}
Result<Tensor> Tensor::div(const Tensor& a, const Tensor& b) {
  return binary<ops::DivNode>(a, b,
                              [](const CpuStorage& x, const CpuStorage& y) { return x.div(y); });
}
Result<Tensor> Tensor::matmul(const Tensor& a, const Tensor& b) {
  return binary<ops::MatmulNode>(
      a, b, [](const CpuStorage& x, const CpuStorage& y) { return x.matmul(y); });
}

Result<Tensor> Tensor::scalar_add(const Tensor& a, float s) {
  return unary<ops::ScalarAddNode>(
      a, [s](const CpuStorage& x) { return x.scalar_add(s); }, s);
}
Result<Tensor> Tensor::scalar_sub(const Tensor& a, float s) {
  return unary<ops::ScalarSubNode>(
      a, [s](const CpuStorage& x) { return x.scalar_sub(s); }, s);
}
Result<Tensor> Tensor::scalar_mul(const Tensor& a, float s) {
  return unary<ops::ScalarMulNode>(
      a, [s](const CpuStorage& x) { return x.scalar_mul(s); }, s);
}
Result<Tensor> Tensor::scalar_div(const Tensor& a, float s) {
  // Division by a number is multiplication by its binary32 reciprocal.
  float r = 1.0f / s;
  return unary<ops::ScalarDivNode>(
      a, [r](const CpuStorage& x) { return x.scalar_mul(r); }, s);
}
Result<Tensor> Tensor::scalar_rdiv(float s, const Tensor& a) {
  // The numerator is a constant tensor like `a` filled with s; a Bool `a` gets the division's own
  // Bool error, not that of filling a Bool tensor with a number.
  CpuStorage ones = a.cpu().ones_like();
  if (ones.dtype() == engine::cpu::storage::DType::Bool) return div(plain(std::move(ones)), a);
  auto filled = ones.scalar_mul(s);
  if (!filled) return std::unexpected(std::move(filled.error()));
  return div(plain(std::move(*filled)), a);
}

Result<Tensor> Tensor::reshape(const Tensor& a, std::span<const std::size_t> shape) {
  return unary<ops::ReshapeNode>(a, [shape](const CpuStorage& x) { return x.reshape(shape); });
}
Result<Tensor> Tensor::transpose(const Tensor& a, std::size_t dim0, std::size_t dim1) {
  return unary<ops::TransposeNode>(
      a, [=](const CpuStorage& x) { return x.transpose(dim0, dim1); }, dim0, dim1);
}
Result<Tensor> Tensor::relu(const Tensor& a) {
  return unary<ops::ReluNode>(a, [](const CpuStorage& x) { return x.relu(); });
}

Result<Tensor> Tensor::eq(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().eq(b.cpu()));
}
Result<Tensor> Tensor::ne(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().ne(b.cpu()));
}
Result<Tensor> Tensor::ge(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().ge(b.cpu()));
}
Result<Tensor> Tensor::gt(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().gt(b.cpu()));
}
Result<Tensor> Tensor::le(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().le(b.cpu()));
}
Result<Tensor> Tensor::lt(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().lt(b.cpu()));
}
Result<Tensor> Tensor::scalar_eq(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_eq(s));
}
Result<Tensor> Tensor::scalar_ne(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_ne(s));
}
Result<Tensor> Tensor::scalar_ge(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_ge(s));
}
Result<Tensor> Tensor::scalar_gt(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_gt(s));
}
Result<Tensor> Tensor::scalar_le(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_le(s));
}
Result<Tensor> Tensor::scalar_lt(const Tensor& a, float s) {
  return unrecorded(a.cpu().scalar_lt(s));
}
Result<Tensor> Tensor::logical_and(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().logical_and(b.cpu()));
}
Result<Tensor> Tensor::logical_or(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().logical_or(b.cpu()));
}
Result<Tensor> Tensor::logical_xor(const Tensor& a, const Tensor& b) {
  return unrecorded(a.cpu().logical_xor(b.cpu()));
}
Result<Tensor> Tensor::logical_not(const Tensor& a) {
  return unrecorded(a.cpu().logical_not());
}
Tensor Tensor::zeros_like(const Tensor& a) {
  return plain(a.cpu().zeros_like());
}
Tensor Tensor::ones_like(const Tensor& a) {
  return plain(a.cpu().ones_like());
}

}  // namespace norva::tensor
