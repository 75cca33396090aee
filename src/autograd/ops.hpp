// The backward nodes of the differentiable operations. Each node's backward reads like its
// derivative: it computes its inputs' gradients from the gradient of its output and passes each
// to the input's id, summed down to that input's shape when the input was broadcast.
#pragma once

#include <cstddef>

#include "autograd/graph.hpp"
#include "engine/cpu/array.hpp"
#include "tensor/core/tensor.hpp"

namespace norva::autograd::ops {

using engine::cpu::Shape;
using tensor::Tensor;

// Two operands whose gradients only depend on the output gradient.
//
// An operand that does not require gradients gets a fresh leaf of its own that no tensor refers
// to, so its gradient could never be read: nodes compute gradients only for the operands that
// require them (lhs_needed, rhs_needed).
struct BinaryShapes {
  NodeId lhs_id, rhs_id;
  Shape lhs_shape, rhs_shape;
  bool lhs_needed, rhs_needed;
  BinaryShapes(const Tensor& a, const Tensor& b, NodeId l, NodeId r)
      : lhs_id(l),
        rhs_id(r),
        lhs_shape(a.cpu().shape()),
        rhs_shape(b.cpu().shape()),
        lhs_needed(a.requires_grad),
        rhs_needed(b.requires_grad) {}
};

// Two operands whose storages the gradient kernels read.
struct BinaryOperands {
  StorageRef lhs, rhs;
  NodeId lhs_id, rhs_id;
  bool lhs_needed, rhs_needed;
  BinaryOperands(const Tensor& a, const Tensor& b, NodeId l, NodeId r)
      : lhs(a.storage),
        rhs(b.storage),
        lhs_id(l),
        rhs_id(r),
        lhs_needed(a.requires_grad),
        rhs_needed(b.requires_grad) {}
};

class AddNode final : public BackwardOp, BinaryShapes {
 public:
  using BinaryShapes::BinaryShapes;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class SubNode final : public BackwardOp, BinaryShapes {
 public:
  using BinaryShapes::BinaryShapes;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class MulNode final : public BackwardOp, BinaryOperands {
 public:
  using BinaryOperands::BinaryOperands;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class DivNode final : public BackwardOp, BinaryOperands {
 public:
  using BinaryOperands::BinaryOperands;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class MatmulNode final : public BackwardOp, BinaryOperands {
 public:
  using BinaryOperands::BinaryOperands;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};

// One operand and the number it was combined with.
struct ScalarInput {
  NodeId input_id;
  float scalar;
  ScalarInput(const Tensor&, NodeId id, float s) : input_id(id), scalar(s) {}
};

class ScalarAddNode final : public BackwardOp, ScalarInput {
 public:
  using ScalarInput::ScalarInput;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class ScalarSubNode final : public BackwardOp, ScalarInput {
 public:
  using ScalarInput::ScalarInput;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
class ScalarMulNode final : public BackwardOp, ScalarInput {
 public:
  using ScalarInput::ScalarInput;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};
// Keeps the divisor; the gradient is scaled by the same binary32 reciprocal as the forward step.
class ScalarDivNode final : public BackwardOp, ScalarInput {
 public:
  using ScalarInput::ScalarInput;
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;
};

class ReluNode final : public BackwardOp {
 public:
  ReluNode(const Tensor& a, NodeId id) : input(a.storage), input_id(id) {}
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;

 private:
  StorageRef input;
  NodeId input_id;
};

class ReshapeNode final : public BackwardOp {
 public:
  // Keeps the operand's shape before the reshape (the node is built before the result).
  ReshapeNode(const Tensor& a, NodeId id) : input_shape(a.cpu().shape()), input_id(id) {}
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;

 private:
  Shape input_shape;
  NodeId input_id;
};

class TransposeNode final : public BackwardOp {
 public:
  TransposeNode(const Tensor&, NodeId id, std::size_t d0, std::size_t d1)
      : input_id(id), dim0(d0), dim1(d1) {}
  Status backward(AutogradContext& ctx, const CpuStorage& g) const override;

 private:
  NodeId input_id;
  std::size_t dim0, dim1;
};

}  // namespace norva::autograd::ops
