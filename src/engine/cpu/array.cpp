#include "engine/cpu/array.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>

namespace norva::engine::cpu {

namespace {
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;

template <class T>
std::string list_str(std::span<const T> v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(v[i]);
  }
  s += "]";
  return s;
}
}  // namespace

std::string shape_str(std::span<const std::size_t> shape) {
  return list_str(shape);
}

std::optional<std::size_t> checked_numel(std::span<const std::size_t> shape) {
  constexpr std::size_t kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  std::size_t n = 1;
  bool zero = false;
  for (std::size_t e : shape) {
    if (e == 0) {
      zero = true;
      continue;
    }
    if (__builtin_mul_overflow(n, e, &n) || n > kMax) return std::nullopt;
  }
  return zero ? 0 : n;
}

namespace {
// Dense strides that grow along the axes in `order` (innermost first); all 0 when an extent is 0.
template <class Order>
Strides dense_strides(std::span<const std::size_t> shape, Order order) {
  std::size_t n = shape.size();
  Strides s(n);
  std::ptrdiff_t acc = 1;
  bool empty = false;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t i = order(k, n);
    s[i] = acc;
    acc *= static_cast<std::ptrdiff_t>(shape[i]);
    empty |= shape[i] == 0;
  }
  if (empty)
    for (auto& x : s) x = 0;
  return s;
}

// Whether `strides` are those dense strides, skipping axes of extent 1; any extent 0 counts.
template <class Order>
bool is_dense_in(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides,
                 Order order) {
  for (std::size_t e : shape)
    if (e == 0) return true;
  std::ptrdiff_t acc = 1;
  for (std::size_t k = 0, n = shape.size(); k < n; ++k) {
    std::size_t i = order(k, n);
    if (shape[i] == 1) continue;
    if (strides[i] != acc) return false;
    acc *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return true;
}

constexpr auto last_first = [](std::size_t k, std::size_t n) { return n - 1 - k; };
constexpr auto first_first = [](std::size_t k, std::size_t) { return k; };
}  // namespace

Strides row_major_strides(std::span<const std::size_t> shape) {
  return dense_strides(shape, last_first);
}
Strides col_major_strides(std::span<const std::size_t> shape) {
  return dense_strides(shape, first_first);
}

bool is_row_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  return is_dense_in(shape, strides, last_first);
}
bool is_col_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  return is_dense_in(shape, strides, first_first);
}

namespace {

// Large buffers are rounded up to size classes (eighths of a power of two) and recently freed
// ones are kept for reuse: a training loop frees and makes the same large arrays every step, and
// memory fresh from the system costs a page fault per page on first touch (often more than the
// arithmetic), while the allocator hands large blocks straight back to the system.
constexpr std::size_t kCacheMin = std::size_t{64} << 10;
constexpr std::size_t kCacheMaxBytes = std::size_t{64} << 20;
constexpr int kCacheSlots = 32;

std::size_t size_class(std::size_t bytes) {
  std::size_t alloc = (bytes + Buffer::kAlign - 1) / Buffer::kAlign * Buffer::kAlign;
  if (alloc < kCacheMin) return alloc;
  std::size_t step = (std::size_t{1} << (63 - __builtin_clzll(alloc))) / 8;
  return (alloc + step - 1) / step * step;
}

struct BlockCache {
  std::mutex lock;
  void* block[kCacheSlots] = {};
  std::size_t size[kCacheSlots] = {};
  std::size_t total = 0;

  void* take(std::size_t cls) {
    std::lock_guard<std::mutex> g(lock);
    for (int i = 0; i < kCacheSlots; ++i)
      if (block[i] && size[i] == cls) {
        total -= cls;
        return std::exchange(block[i], nullptr);
      }
    return nullptr;
  }
  bool give(void* p, std::size_t cls) {
    std::lock_guard<std::mutex> g(lock);
    if (total + cls > kCacheMaxBytes) return false;
    for (int i = 0; i < kCacheSlots; ++i)
      if (!block[i]) {
        block[i] = p;
        size[i] = cls;
        total += cls;
        return true;
      }
    return false;
  }
};

// Never destroyed: buffers may be released while the process exits.
BlockCache& cache() {
  static BlockCache* c = new BlockCache();
  return *c;
}

}  // namespace

Buffer::Buffer(std::size_t bytes) : p_(inline_), bytes_(bytes) {
  if (bytes <= kInline) return;
  if (bytes <= kSmall) {
    // Small buffers come from the general allocator's fast path (16-byte aligned); alignment to
    // a cache line only pays for long runs. Never null, even for no elements.
    p_ = std::malloc(bytes ? bytes : 1);
    if (!p_) throw std::bad_alloc();
    return;
  }
  std::size_t alloc = size_class(bytes);
  if (alloc < bytes) throw std::bad_alloc();
  if (alloc >= kCacheMin && (p_ = cache().take(alloc))) return;
  p_ = std::aligned_alloc(kAlign, alloc);
  if (!p_) throw std::bad_alloc();
  // Large buffers ask for transparent huge pages: a fresh result is written once from start to
  // end, and 4 KiB pages would fault thousands of times.
  if (alloc >= kHugeThreshold) {
    auto start = (reinterpret_cast<std::uintptr_t>(p_) + 4095) & ~std::uintptr_t{4095};
    auto end = reinterpret_cast<std::uintptr_t>(p_) + alloc;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  }
}

void Buffer::release_large(void* p, std::size_t bytes) {
  if (!p) return;
  std::size_t cls = size_class(bytes);
  if (cls >= kCacheMin && cls <= kCacheMaxBytes / 4 && cache().give(p, cls)) return;
  std::free(p);
}

}  // namespace norva::engine::cpu
