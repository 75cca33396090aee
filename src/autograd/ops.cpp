#include "autograd/ops.hpp"

#include <algorithm>

#include "autograd/context.hpp"

namespace norva::autograd::ops {

namespace {

// Passes g (a result of the node's own computation) to `id`, summed down to `shape`.
Status pass(AutogradContext& ctx, NodeId id, Result<CpuStorage>&& g,
            std::span<const std::size_t> shape) {
  if (!g) return std::unexpected(std::move(g.error()));
  if (std::ranges::equal(g->shape(), shape)) return ctx.accumulate(id, std::move(*g));
  auto reduced = g->sum_to_shape(shape);
  if (!reduced) return std::unexpected(std::move(reduced.error()));
  return ctx.accumulate(id, std::move(*reduced));
}

// Passes a copy of the output gradient, summed down to `shape`.
Status pass_copy(AutogradContext& ctx, NodeId id, const CpuStorage& g,
                 std::span<const std::size_t> shape) {
  if (std::ranges::equal(g.shape(), shape)) return ctx.accumulate(id, g.clone());
  return pass(ctx, id, g.sum_to_shape(shape), shape);
}

// Passes the gradients of a two-operand kernel to the operands that need them.
Status pass_pair(AutogradContext& ctx, const BinaryOperands& n,
                 Result<engine::cpu::storage::StoragePair>&& grads) {
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (n.lhs_needed)
    if (auto ok = pass(ctx, n.lhs_id, std::move(grads->first), n.lhs->cpu().shape()); !ok)
      return ok;
  if (n.rhs_needed) return pass(ctx, n.rhs_id, std::move(grads->second), n.rhs->cpu().shape());
  return {};
}

Status pass_lhs(AutogradContext& ctx, const BinaryOperands& n, Result<CpuStorage>&& g) {
  return pass(ctx, n.lhs_id, std::move(g), n.lhs->cpu().shape());
}
Status pass_rhs(AutogradContext& ctx, const BinaryOperands& n, Result<CpuStorage>&& g) {
  return pass(ctx, n.rhs_id, std::move(g), n.rhs->cpu().shape());
}

}  // namespace

Status AddNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  if (lhs_needed)
    if (auto ok = pass_copy(ctx, lhs_id, g, lhs_shape); !ok) return ok;
  if (rhs_needed) return pass_copy(ctx, rhs_id, g, rhs_shape);
  return {};
}

Status SubNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  if (lhs_needed)
    if (auto ok = pass_copy(ctx, lhs_id, g, lhs_shape); !ok) return ok;
  if (rhs_needed) return pass(ctx, rhs_id, g.scalar_mul(-1.0f), rhs_shape);
  return {};
}

// d(a*b) = (g*b, g*a); one side alone is the product kernel itself.
Status MulNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  if (!rhs_needed) return pass_lhs(ctx, *this, g.mul(rhs->cpu()));
  if (!lhs_needed) return pass_rhs(ctx, *this, g.mul(lhs->cpu()));
  return pass_pair(ctx, *this, lhs->cpu().backward_mul(g, rhs->cpu()));
}

// d(a/b) = (g/b, -g*a/(b*b)); the left side alone is the division kernel itself.
Status DivNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  if (!rhs_needed) return pass_lhs(ctx, *this, g.div(rhs->cpu()));
  return pass_pair(ctx, *this, lhs->cpu().backward_div(g, rhs->cpu()));
}

// d(A@B) = (g@Bᵀ, Aᵀ@g).
Status MatmulNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  using engine::cpu::storage::GradSide;
  if (!rhs_needed)
    return pass_lhs(ctx, *this, lhs->cpu().backward_matmul_side(g, rhs->cpu(), GradSide::Lhs));
  if (!lhs_needed)
    return pass_rhs(ctx, *this, lhs->cpu().backward_matmul_side(g, rhs->cpu(), GradSide::Rhs));
  return pass_pair(ctx, *this, lhs->cpu().backward_matmul(g, rhs->cpu()));
}

Status ScalarAddNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return ctx.accumulate(input_id, g.clone());
}

Status ScalarSubNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return ctx.accumulate(input_id, g.clone());
}

Status ScalarMulNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return pass(ctx, input_id, g.scalar_mul(scalar), g.shape());
}

Status ScalarDivNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return pass(ctx, input_id, g.scalar_mul(1.0f / scalar), g.shape());
}

Status ReluNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return pass(ctx, input_id, input->cpu().backward_relu(g), g.shape());
}

Status ReshapeNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  return pass(ctx, input_id, g.reshape(input_shape), input_shape);
}

Status TransposeNode::backward(AutogradContext& ctx, const CpuStorage& g) const {
  auto t = g.transpose(dim0, dim1);
  if (!t) return std::unexpected(std::move(t.error()));
  Shape shape = t->shape();
  return pass(ctx, input_id, std::move(t), shape);
}

}  // namespace norva::autograd::ops
