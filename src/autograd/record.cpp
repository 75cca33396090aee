#include "autograd/record.hpp"

namespace norva::autograd {

Result<NodeRef> push_leaf() {
  auto access = TapeAccess::exclusive();
  if (!access) return std::unexpected(std::move(access.error()));
  Tape& tape = **access;
  NodeId id = tape.push_node(std::make_unique<LeafNode>());
  return NodeRef{id, tape.generation()};
}

namespace detail {
Status input_ids(Tape& tape, std::initializer_list<const tensor::Tensor*> operands, NodeId* ids) {
  for (const tensor::Tensor* t : operands)
    if (t->node && (t->node->generation != tape.generation() || t->node->id >= tape.size()))
      return tensor::stale_graph_error();
  std::size_t i = 0;
  for (const tensor::Tensor* t : operands)
    ids[i++] = t->node ? t->node->id : tape.push_node(std::make_unique<LeafNode>());
  return {};
}
}  // namespace detail

}  // namespace norva::autograd
