#include "autograd/context.hpp"

#include <utility>

namespace norva::autograd {

void AutogradContext::reserve_slot(NodeId id) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  if (id < lowest_) lowest_ = id;
}

Status AutogradContext::accumulate(NodeId id, CpuStorage g) {
  reserve_slot(id);
  GradSlot& slot = grads_[id];
  if (!slot) {
    slot = std::make_unique<CpuStorage>(std::move(g));
    return {};
  }
  auto sum = slot->add(g);
  if (!sum) return std::unexpected(std::move(sum.error()));
  *slot = std::move(*sum);
  return {};
}

void AutogradContext::set_grad(NodeId id, GradSlot g) {
  reserve_slot(id);
  grads_[id] = std::move(g);
}

GradSlot AutogradContext::take(NodeId id) {
  if (id >= grads_.size()) return nullptr;
  return std::move(grads_[id]);
}

}  // namespace norva::autograd
