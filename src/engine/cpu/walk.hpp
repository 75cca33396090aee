// The iteration plan shared by every element-wise kernel.
//
// K operands of one common shape (outputs and inputs alike, each with its own strides, 0 on
// broadcast axes) are walked in lockstep. The plan drops axes of extent 1, orders the axes by the
// first operand's strides (the first operand is the fresh output, so its fastest axis becomes the
// inner loop), and merges neighbouring axes wherever every operand steps through them as one run.
// The walk then calls an inner-loop function once per row of the innermost axis; for dense
// operands of one layout that is a single call over the whole buffer.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "engine/cpu/array.hpp"

namespace norva::engine::cpu {

template <std::size_t K>
struct WalkPlan {
  SmallVec<std::size_t, 8> extents;  // outermost first; never empty unless empty_ is set
  std::array<SmallVec<std::ptrdiff_t, 8>, K> strides;
  bool empty = false;  // some extent is 0: nothing to visit
};

template <std::size_t K>
WalkPlan<K> make_plan(std::span<const std::size_t> shape,
                      const std::array<std::span<const std::ptrdiff_t>, K>& strides) {
  WalkPlan<K> p;
  std::size_t n = shape.size();
  SmallVec<std::size_t, 8> axes;
  for (std::size_t i = 0; i < n; ++i) {
    if (shape[i] == 0) {
      p.empty = true;
      return p;
    }
    if (shape[i] != 1) axes.push_back(i);
  }
  // Order axes by decreasing |stride| of operand 0 (stable insertion sort; ranks are small).
  auto key = [&](std::size_t ax) {
    std::ptrdiff_t s = strides[0][ax];
    return s < 0 ? -s : s;
  };
  for (std::size_t i = 1; i < axes.size(); ++i) {
    std::size_t v = axes[i];
    std::size_t j = i;
    while (j > 0 && key(axes[j - 1]) < key(v)) {
      axes[j] = axes[j - 1];
      --j;
    }
    axes[j] = v;
  }
  // Merge from the inside out: an outer axis joins the inner run when every operand's stride
  // on it equals the run's stride times the run's extent.
  SmallVec<std::size_t, 8> ext;
  std::array<SmallVec<std::ptrdiff_t, 8>, K> str;
  for (std::size_t idx = axes.size(); idx-- > 0;) {
    std::size_t ax = axes[idx];
    std::size_t m = ext.size();
    if (m > 0) {
      bool merge = true;
      for (std::size_t k = 0; k < K && merge; ++k)
        merge = strides[k][ax] == str[k][m - 1] * static_cast<std::ptrdiff_t>(ext[m - 1]);
      if (merge) {
        ext[m - 1] *= shape[ax];
        continue;
      }
    }
    ext.push_back(shape[ax]);
    for (std::size_t k = 0; k < K; ++k) str[k].push_back(strides[k][ax]);
  }
  if (ext.empty()) {
    ext.push_back(1);
    for (std::size_t k = 0; k < K; ++k) str[k].push_back(0);
  }
  std::size_t d = ext.size();
  p.extents.resize(d);
  for (std::size_t k = 0; k < K; ++k) p.strides[k].resize(d);
  for (std::size_t i = 0; i < d; ++i) {
    p.extents[i] = ext[d - 1 - i];
    for (std::size_t k = 0; k < K; ++k) p.strides[k][i] = str[k][d - 1 - i];
  }
  return p;
}

// Runs inner(ptrs, inner_strides, n) once per innermost row. Pointers are byte pointers to the
// row's first element; strides are in elements. esize[k] is operand k's element width.
template <std::size_t K, class Inner>
void run_plan(const WalkPlan<K>& p, std::array<char*, K> base, const std::array<std::size_t, K>& esize,
              Inner&& inner) {
  if (p.empty) return;
  std::size_t d = p.extents.size();
  std::array<std::ptrdiff_t, K> istr;
  for (std::size_t k = 0; k < K; ++k) istr[k] = p.strides[k][d - 1];
  std::size_t n = p.extents[d - 1];
  if (d == 1) {
    inner(base, istr, n);
    return;
  }
  SmallVec<std::size_t, 8> idx(d - 1, 0);
  std::array<char*, K> ptr = base;
  for (;;) {
    inner(ptr, istr, n);
    std::size_t ax = d - 1;
    for (;;) {
      if (ax == 0) return;
      --ax;
      for (std::size_t k = 0; k < K; ++k)
        ptr[k] += p.strides[k][ax] * static_cast<std::ptrdiff_t>(esize[k]);
      if (++idx[ax] < p.extents[ax]) break;
      for (std::size_t k = 0; k < K; ++k)
        ptr[k] -= p.strides[k][ax] * static_cast<std::ptrdiff_t>(esize[k] * p.extents[ax]);
      idx[ax] = 0;
    }
  }
}

}  // namespace norva::engine::cpu
