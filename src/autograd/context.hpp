// The gradient slots of one backward pass, indexed by node id.
#pragma once

#include <vector>

#include "autograd/graph.hpp"

namespace norva::autograd {

class AutogradContext {
 public:
  explicit AutogradContext(std::size_t n) : grads_(n), lowest_(n) {}
  // Adds g into slot id (stores it when the slot is empty).
  Status accumulate(NodeId id, CpuStorage g);
  void set_grad(NodeId id, GradSlot g);
  // Empties slot id and hands over what it held.
  GradSlot take(NodeId id);
  std::size_t size() const { return grads_.size(); }
  // The smallest id that has held a gradient in this pass (size() while none has): no id below
  // it can receive one any more once the walk has passed it, since gradients only flow to
  // smaller ids.
  NodeId lowest() const { return lowest_; }
  std::vector<GradSlot>& slots() { return grads_; }

 private:
  void reserve_slot(NodeId id);
  std::vector<GradSlot> grads_;
  NodeId lowest_;
};

}  // namespace norva::autograd
