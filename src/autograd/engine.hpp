// The backward pass over the calling thread's tape, and clear_graph.
#pragma once

#include "autograd/graph.hpp"

namespace norva::autograd {

// Differentiates from `root` with the seed gradient: visits node ids from the root down to 0,
// calls each node that holds a gradient once, and on success moves every gradient of the pass
// into the tape's slots. A failing node ends the pass with its error and changes no slot.
Status run_backward(NodeRef root, CpuStorage seed);

// Calls f(const CpuStorage*) with the gradient recorded for `node` (nullptr when there is none or
// the node is stale) while holding shared access to the tape; f copies what it needs, so the
// gradient is copied once instead of twice.
template <class F>
auto with_grad(NodeRef node, F&& f) -> Result<decltype(f(nullptr))> {
  auto access = TapeAccess::shared();
  if (!access) return std::unexpected(std::move(access.error()));
  const Tape& tape = **access;
  return f(node.generation == tape.generation() ? tape.peek_grad(node.id) : nullptr);
}

// Empties the calling thread's tape; the next recorded node gets id 0.
Status clear_graph();

}  // namespace norva::autograd
