// The per-thread tape: the recorded backward nodes of the calling thread and one gradient slot
// per node.
//
// Node ids are positions on the tape. Each tape carries a generation drawn from a process-wide
// counter when it is created and again at every clear; tensors keep the generation they were
// recorded in, so an id from before a clear (or from another thread) is recognised as stale
// instead of silently naming an unrelated node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tensor/storage.hpp"
#include "util/error.hpp"

namespace norva::autograd {

using NodeId = std::size_t;
using engine::cpu::storage::CpuStorage;
using tensor::Storage;
using tensor::StorageRef;

class AutogradContext;

// The interface of every backward node: one operation that turns the gradient of the node's
// output into gradients of its inputs, accumulated into the pass's context.
class BackwardOp {
 public:
  virtual ~BackwardOp() = default;
  virtual Status backward(AutogradContext& ctx, const CpuStorage& grad) const = 0;
};

// The node of a tensor no recorded operation produced; its gradient stays where it lands.
class LeafNode final : public BackwardOp {
 public:
  Status backward(AutogradContext&, const CpuStorage&) const override { return {}; }
};

// One gradient slot: empty, or a gradient owned through a pointer, so that an empty slot (most
// slots of a large tape) costs one word.
using GradSlot = std::unique_ptr<CpuStorage>;

// A node id together with the generation of the tape it was recorded on.
struct NodeRef {
  NodeId id;
  std::uint64_t generation;
};

class Tape {
 public:
  Tape();
  Tape(const Tape&) = delete;
  Tape& operator=(const Tape&) = delete;

  std::size_t size() const { return nodes_.size(); }
  std::uint64_t generation() const { return generation_; }

  NodeId push_node(std::unique_ptr<BackwardOp> node);
  // Replaces slot id (padding with empty slots when id lies beyond the end).
  void set_grad(NodeId id, GradSlot g);
  // An independent copy of the slot's gradient, or nothing.
  std::optional<CpuStorage> grad(NodeId id) const;
  // The slot's gradient itself (nullptr when empty), for a reader that copies it out at once.
  const CpuStorage* peek_grad(NodeId id) const {
    return id < grads_.size() ? grads_[id].get() : nullptr;
  }
  void clear();
  BackwardOp& node(NodeId id) { return *nodes_[id]; }

 private:
  std::vector<std::unique_ptr<BackwardOp>> nodes_;
  std::vector<GradSlot> grads_;
  std::uint64_t generation_;
};

// Exclusive or shared access to the calling thread's tape. A conflicting access (which ordinary
// use cannot cause) or an access after the thread's tape was destroyed is an internal error.
class TapeAccess {
 public:
  static Result<TapeAccess> exclusive();
  static Result<TapeAccess> shared();
  TapeAccess(TapeAccess&& o) noexcept;
  TapeAccess(const TapeAccess&) = delete;
  TapeAccess& operator=(const TapeAccess&) = delete;
  TapeAccess& operator=(TapeAccess&&) = delete;
  ~TapeAccess();
  Tape& operator*() const { return *tape_; }
  Tape* operator->() const { return tape_; }

 private:
  TapeAccess(Tape* t, bool exclusive) : tape_(t), exclusive_(exclusive) {}
  Tape* tape_;
  bool exclusive_;
};

}  // namespace norva::autograd
