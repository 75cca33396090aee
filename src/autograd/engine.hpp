// The backward pass over the calling thread's tape, and clear_graph.
#pragma once

#include "autograd/graph.hpp"

namespace norva::autograd {

// Differentiates from `root` with the seed gradient: visits node ids from the root down to 0,
// calls each node that holds a gradient once, and on success moves every gradient of the pass
// into the tape's slots. A failing node ends the pass with its error and changes no slot.
Status run_backward(NodeRef root, CpuStorage seed);

// An independent copy of the gradient recorded for `node`, or nothing (also for stale nodes).
Result<std::optional<CpuStorage>> read_grad(NodeRef node);

// Empties the calling thread's tape; the next recorded node gets id 0.
Status clear_graph();

}  // namespace norva::autograd
