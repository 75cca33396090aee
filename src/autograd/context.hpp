// The gradient slots of one backward pass, indexed by node id.
#pragma once

#include <optional>
#include <vector>

#include "autograd/graph.hpp"

namespace norva::autograd {

class AutogradContext {
 public:
  explicit AutogradContext(std::size_t n) : grads_(n) {}
  // Adds g into slot id (stores it when the slot is empty).
  Status accumulate(NodeId id, CpuStorage g);
  void set_grad(NodeId id, CpuStorage g);
  std::optional<CpuStorage> take(NodeId id);
  std::size_t size() const { return grads_.size(); }
  std::vector<std::optional<CpuStorage>>& slots() { return grads_; }

 private:
  std::vector<std::optional<CpuStorage>> grads_;
};

}  // namespace norva::autograd
