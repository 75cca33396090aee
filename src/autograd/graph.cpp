#include "autograd/graph.hpp"

#include <atomic>
#include <utility>

namespace norva::autograd {

namespace {
std::atomic<std::uint64_t> g_next_generation{1};
std::uint64_t next_generation() {
  return g_next_generation.fetch_add(1, std::memory_order_relaxed);
}

// Per-thread state. `state` counts shared users (> 0) or marks exclusive use (-1). `destroyed`
// is trivially destructible, so it stays readable while and after the tape is torn down.
thread_local bool t_destroyed = false;
thread_local int t_state = 0;

struct TapeHolder {
  Tape tape;
  ~TapeHolder() { t_destroyed = true; }
};

Tape* thread_tape() {
  if (t_destroyed) return nullptr;
  thread_local TapeHolder holder;
  return &holder.tape;
}
}  // namespace

Tape::Tape() : generation_(next_generation()) {}

NodeId Tape::push_node(std::unique_ptr<BackwardOp> node) {
  NodeId id = nodes_.size();
  nodes_.push_back(std::move(node));
  if (grads_.size() < nodes_.size()) grads_.resize(nodes_.size());
  return id;
}

void Tape::set_grad(NodeId id, GradSlot g) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  grads_[id] = std::move(g);
}

std::optional<CpuStorage> Tape::grad(NodeId id) const {
  if (id < grads_.size() && grads_[id]) return grads_[id]->clone();
  return std::nullopt;
}

void Tape::clear() {
  // Nodes go in recording order; the lists keep their capacity for reuse.
  for (auto& n : nodes_) n.reset();
  nodes_.clear();
  grads_.clear();
  generation_ = next_generation();
}

Result<TapeAccess> TapeAccess::exclusive() {
  Tape* t = thread_tape();
  if (!t) return internal_error("the tape of this thread was accessed after it was destroyed");
  if (t_state != 0) return internal_error("conflicting access to the tape of this thread");
  t_state = -1;
  return TapeAccess(t, true);
}

Result<TapeAccess> TapeAccess::shared() {
  Tape* t = thread_tape();
  if (!t) return internal_error("the tape of this thread was accessed after it was destroyed");
  if (t_state < 0) return internal_error("conflicting access to the tape of this thread");
  ++t_state;
  return TapeAccess(t, false);
}

TapeAccess::TapeAccess(TapeAccess&& o) noexcept
    : tape_(std::exchange(o.tape_, nullptr)), exclusive_(o.exclusive_) {}

TapeAccess::~TapeAccess() {
  if (!tape_) return;
  if (exclusive_)
    t_state = 0;
  else
    --t_state;
}

}  // namespace norva::autograd
