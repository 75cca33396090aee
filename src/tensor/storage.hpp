// DType, the element type of a tensor, and Storage, the immutable data of one tensor shared
// through atomically reference-counted handles.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace norva::tensor {

using engine::cpu::storage::CpuStorage;
using engine::cpu::storage::DType;

// An immutable tensor payload. Created with one reference; released when the last StorageRef
// goes.
class Storage {
 public:
  explicit Storage(CpuStorage&& cpu) : cpu_(std::move(cpu)) {}
  const CpuStorage& cpu() const { return cpu_; }
  DType dtype() const { return cpu_.dtype(); }

 private:
  friend class StorageRef;
  mutable std::atomic<std::uint32_t> refs_{1};
  CpuStorage cpu_;
};

// Shared handle to a Storage.
class StorageRef {
 public:
  StorageRef() = default;
  // Takes a freshly built storage (one reference).
  static StorageRef adopt(Storage* s) { return StorageRef(s); }
  static StorageRef make(CpuStorage&& cpu) { return StorageRef(new Storage(std::move(cpu))); }
  StorageRef(const StorageRef& o) : p_(o.p_) {
    if (p_) p_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  StorageRef(StorageRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  StorageRef& operator=(StorageRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~StorageRef() {
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
  }
  const Storage& operator*() const { return *p_; }
  const Storage* operator->() const { return p_; }
  const Storage* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit StorageRef(Storage* p) : p_(p) {}
  Storage* p_ = nullptr;
};

}  // namespace norva::tensor
