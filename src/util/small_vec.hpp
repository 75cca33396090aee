// A small vector of trivially copyable values with inline capacity, used for shapes and strides
// so that tensors of usual rank cost no extra allocation.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>

namespace norva {

template <class T, std::size_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVec() = default;
  explicit SmallVec(std::size_t n, T fill = T{}) { resize(n, fill); }
  SmallVec(std::initializer_list<T> init) { assign(init.begin(), init.size()); }
  SmallVec(std::span<const T> s) { assign(s.data(), s.size()); }
  SmallVec(const T* p, std::size_t n) { assign(p, n); }
  SmallVec(const SmallVec& o) {
    if (o.size_ <= N)
      copy_inline(o);
    else
      assign(o.data(), o.size());
  }
  SmallVec(SmallVec&& o) noexcept {
    if (o.heap_) {
      heap_ = o.heap_;
      cap_ = o.cap_;
      size_ = o.size_;
      o.heap_ = nullptr;
      o.cap_ = N;
      o.size_ = 0;
    } else {
      copy_inline(o);
    }
  }
  SmallVec& operator=(const SmallVec& o) {
    if (this != &o) assign(o.data(), o.size());
    return *this;
  }
  SmallVec& operator=(SmallVec&& o) noexcept {
    if (this == &o) return *this;
    if (o.heap_) {
      std::free(heap_);
      heap_ = o.heap_;
      cap_ = o.cap_;
      size_ = o.size_;
      o.heap_ = nullptr;
      o.cap_ = N;
      o.size_ = 0;
    } else if (!heap_) {
      copy_inline(o);
    } else {
      assign(o.data(), o.size());
    }
    return *this;
  }
  ~SmallVec() {
    if (heap_) std::free(heap_);
  }

  T* data() { return heap_ ? heap_ : inline_; }
  const T* data() const { return heap_ ? heap_ : inline_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& back() { return data()[size_ - 1]; }
  const T& back() const { return data()[size_ - 1]; }
  operator std::span<const T>() const { return {data(), size_}; }
  std::span<const T> span() const { return {data(), size_}; }

  void resize(std::size_t n, T fill = T{}) {
    reserve(n);
    for (std::size_t i = size_; i < n; ++i) data()[i] = fill;
    size_ = n;
  }
  void push_back(T v) {
    if (size_ == cap_) reserve(cap_ * 2);
    data()[size_++] = v;
  }
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    T* p = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (!p) throw std::bad_alloc();
    if (size_) std::memcpy(p, data(), size_ * sizeof(T));
    std::free(heap_);
    heap_ = p;
    cap_ = n;
  }
  void assign(const T* p, std::size_t n) {
    reserve(n);
    T* d = data();
    for (std::size_t i = 0; i < n; ++i) d[i] = p[i];
    size_ = n;
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i)
      if (!(a[i] == b[i])) return false;
    return true;
  }

 private:
  // Copies a vector that fits inline: the whole inline array at once (a fixed-size copy the
  // compiler turns into a few vector moves), which is cheaper than a sized copy for short shapes.
  void copy_inline(const SmallVec& o) {
    const T* src = o.data();
    if (o.size_ == 0) {
      size_ = 0;
      return;
    }
    if (!heap_ && o.heap_ == nullptr) {
      std::memcpy(inline_, o.inline_, sizeof(inline_));
    } else {
      for (std::size_t i = 0; i < o.size_; ++i) data()[i] = src[i];
    }
    size_ = o.size_;
  }

  T* heap_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = N;
  T inline_[N];
};

}  // namespace norva
