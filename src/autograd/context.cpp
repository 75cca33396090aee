#include "autograd/context.hpp"

#include <utility>

namespace norva::autograd {

Status AutogradContext::accumulate(NodeId id, CpuStorage g) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  auto& slot = grads_[id];
  if (!slot) {
    slot.emplace(std::move(g));
    return {};
  }
  auto sum = slot->add(g);
  if (!sum) return std::unexpected(std::move(sum.error()));
  *slot = std::move(*sum);
  return {};
}

void AutogradContext::set_grad(NodeId id, CpuStorage g) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  grads_[id] = std::move(g);
}

std::optional<CpuStorage> AutogradContext::take(NodeId id) {
  if (id >= grads_.size()) return std::nullopt;
  return std::exchange(grads_[id], std::nullopt);
}

}  // namespace norva::autograd
