#include "autograd/engine.hpp"

#include "autograd/context.hpp"
#include "tensor/core/tensor.hpp"

namespace norva::autograd {

Status run_backward(NodeRef root, CpuStorage seed) {
  auto access = TapeAccess::exclusive();
  if (!access) return std::unexpected(std::move(access.error()));
  Tape& tape = **access;
  if (root.generation != tape.generation() || root.id >= tape.size())
    return tensor::stale_graph_error();

  // Gradients flow only to smaller ids, so the pass needs no slot above the root and can stop
  // below the smallest id that received a gradient.
  AutogradContext ctx(root.id + 1);
  ctx.set_grad(root.id, std::make_unique<CpuStorage>(std::move(seed)));
  for (NodeId i = root.id + 1; i-- > ctx.lowest();) {
    GradSlot g = ctx.take(i);
    if (!g) continue;
    if (auto ok = tape.node(i).backward(ctx, *g); !ok) return ok;
    ctx.set_grad(i, std::move(g));
  }
  auto& slots = ctx.slots();
  for (NodeId j = ctx.lowest(); j < slots.size(); ++j)
    if (slots[j]) tape.set_grad(j, std::move(slots[j]));
  return {};
}

Status clear_graph() {
  auto access = TapeAccess::exclusive();
  if (!access) return std::unexpected(std::move(access.error()));
  (*access)->clear();
  return {};
}

}  // namespace norva::autograd
