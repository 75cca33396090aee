// The recording procedure: one exclusive access to the calling thread's tape that gives every
// operand an input id (its own node, or a fresh leaf for an operand without one), then appends
// the operation's node.
#pragma once

#include <initializer_list>
#include <memory>
#include <span>

#include "autograd/graph.hpp"
#include "tensor/core/tensor.hpp"

namespace norva::autograd {

// Pushes one LeafNode (construction of a tensor that requires gradients).
Result<NodeRef> push_leaf();

namespace detail {
// Checks that no operand refers to a node of another tape generation, then assigns input ids.
Status input_ids(Tape& tape, std::initializer_list<const tensor::Tensor*> operands, NodeId* ids);
}  // namespace detail

// make(std::span<const NodeId> ids) builds the node. An operand whose node is stale fails before
// anything is pushed.
template <class Make>
Result<NodeRef> record(std::initializer_list<const tensor::Tensor*> operands, Make&& make) {
  auto access = TapeAccess::exclusive();
  if (!access) return std::unexpected(std::move(access.error()));
  Tape& tape = **access;
  NodeId ids[2];
  if (auto ok = detail::input_ids(tape, operands, ids); !ok)
    return std::unexpected(std::move(ok.error()));
  NodeId id = tape.push_node(make(std::span<const NodeId>(ids, operands.size())));
  return NodeRef{id, tape.generation()};
}

}  // namespace norva::autograd
