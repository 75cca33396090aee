// The dense n-dimensional array that holds a tensor's elements, and read/write views of it.
//
// An NdArray owns a 64-byte aligned buffer of exactly numel() elements and describes it with a
// shape (extents, outermost first) and strides (signed, in elements). Every array the engine makes
// is dense: its elements form one gap-free block and its strides are those of some order of the
// axes. Views borrow an array's buffer with their own shape and strides (stride 0 on broadcast
// axes) and are valid only while the array lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "util/small_vec.hpp"

namespace norva::engine::cpu {

using Shape = SmallVec<std::size_t, 6>;
using Strides = SmallVec<std::ptrdiff_t, 6>;

// "[2, 3]"; the empty shape is "[]".
std::string shape_str(std::span<const std::size_t> shape);

// Product of the extents, or nullopt when it overflows the signed machine word.
std::optional<std::size_t> checked_numel(std::span<const std::size_t> shape);
inline std::size_t numel(std::span<const std::size_t> shape) {
  std::size_t n = 1;
  for (std::size_t e : shape) n *= e;
  return n;
}

Strides row_major_strides(std::span<const std::size_t> shape);
Strides col_major_strides(std::span<const std::size_t> shape);
// Contiguity tests that skip axes of extent 1; any extent 0 counts as contiguous.
bool is_row_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);
bool is_col_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

// elements * width, or std::bad_alloc when that does not fit the address space.
inline std::size_t checked_bytes(std::size_t elements, std::size_t width) {
  std::size_t b;
  if (__builtin_mul_overflow(elements, width, &b)) throw std::bad_alloc();
  return b;
}

// Owned element memory. Up to kInline bytes live inside the Buffer itself (a one-element result
// then costs no allocation; moving such a Buffer moves its bytes, so pointers into a buffer are
// only kept while its array stays in place, as inside a Storage). Larger buffers are 64-byte
// aligned. Allocation failure throws std::bad_alloc, which the binding turns into MemoryError.
class Buffer {
 public:
  static constexpr std::size_t kAlign = 64;
  static constexpr std::size_t kInline = 32;
  static constexpr std::size_t kSmall = 256;
  Buffer() : p_(inline_) {}
  explicit Buffer(std::size_t bytes);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept { take(o); }
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~Buffer() { release(); }
  void* get() const { return p_; }
  std::size_t bytes() const { return bytes_; }

 private:
  void take(Buffer& o) {
    bytes_ = std::exchange(o.bytes_, 0);
    if (o.p_ == o.inline_) {
      std::memcpy(inline_, o.inline_, kInline);
      p_ = inline_;
    } else {
      p_ = std::exchange(o.p_, o.inline_);
    }
  }
  void release() {
    if (p_ == inline_) return;
    if (bytes_ > kSmall)
      release_large(p_, bytes_);
    else
      std::free(p_);
    p_ = inline_;
  }
  static void release_large(void* p, std::size_t bytes);
  void* p_;
  std::size_t bytes_ = 0;
  alignas(16) unsigned char inline_[kInline];
};

template <class T>
struct ArrayView {
  const T* data = nullptr;  // element at index 0 of every axis
  Shape shape;
  Strides strides;
  std::size_t ndim() const { return shape.size(); }
};

template <class T>
struct MutView {
  T* data = nullptr;
  Shape shape;
  Strides strides;
  std::size_t ndim() const { return shape.size(); }
  operator ArrayView<T>() const { return ArrayView<T>{data, shape, strides}; }
};

template <class T>
class NdArray {
 public:
  using value_type = T;
  NdArray() : NdArray(Shape{}, Strides{}) {}
  // A new array of the given shape and strides (dense, non-negative strides); elements are left
  // uninitialised.
  NdArray(Shape shape, Strides strides)
      : buf_(checked_bytes(cpu::numel(shape), sizeof(T))),
        shape_(std::move(shape)),
        strides_(std::move(strides)) {}
  static NdArray row_major(Shape shape) {
    Strides s = row_major_strides(shape);
    return NdArray(std::move(shape), std::move(s));
  }
  static NdArray col_major(Shape shape) {
    Strides s = col_major_strides(shape);
    return NdArray(std::move(shape), std::move(s));
  }
  static NdArray filled(Shape shape, T value) {
    NdArray a = row_major(std::move(shape));
    T* p = a.data();
    for (std::size_t i = 0, n = a.numel(); i < n; ++i) p[i] = value;
    return a;
  }
  // A copy with the same memory order and strides.
  NdArray clone() const {
    NdArray a(shape_, strides_);
    if (numel()) std::memcpy(a.data(), data(), numel() * sizeof(T));
    return a;
  }

  T* data() { return static_cast<T*>(buf_.get()); }
  const T* data() const { return static_cast<const T*>(buf_.get()); }
  const Shape& shape() const { return shape_; }
  const Strides& strides() const { return strides_; }
  std::size_t ndim() const { return shape_.size(); }
  std::size_t numel() const { return buf_.bytes() / sizeof(T); }

  ArrayView<T> view() const { return ArrayView<T>{data(), shape_, strides_}; }
  MutView<T> mut_view() { return MutView<T>{data(), shape_, strides_}; }

  // Replaces the shape and strides of the same buffer (reshape of a row-major copy, transpose).
  void set_layout(Shape shape, Strides strides) {
    shape_ = std::move(shape);
    strides_ = std::move(strides);
  }

 private:
  Buffer buf_;
  Shape shape_;
  Strides strides_;
};

}  // namespace norva::engine::cpu
