#include "engine/cpu/numeric/ops/mod.hpp"

namespace norva::engine::cpu::numeric::ops {

KResult<Shape> broadcast_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b) {
  std::size_t n = a.size() > b.size() ? a.size() : b.size();
  Shape out(n);
  for (std::size_t j = 0; j < n; ++j) {
    std::size_t x = j < a.size() ? a[a.size() - 1 - j] : 1;
    std::size_t y = j < b.size() ? b[b.size() - 1 - j] : 1;
    std::size_t r;
    if (x == y)
      r = x;
    else if (x == 1)
      r = y;
    else if (y == 1)
      r = x;
    else
      return kfail("Shape mismatch: cannot broadcast " + shape_str(a) + " and " + shape_str(b));
    out[n - 1 - j] = r;
  }
  return out;
}

Strides broadcast_strides(std::span<const std::size_t> shape,
                          std::span<const std::ptrdiff_t> strides,
                          std::span<const std::size_t> target) {
  std::size_t n = target.size();
  std::size_t lead = n - shape.size();
  Strides out(n, 0);
  for (std::size_t i = 0; i < shape.size(); ++i)
    out[lead + i] = shape[i] == target[lead + i] ? strides[i] : 0;
  return out;
}

}  // namespace norva::engine::cpu::numeric::ops
